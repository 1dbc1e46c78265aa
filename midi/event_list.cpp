#include "midi/event_list.h"

#include <algorithm>
#include <array>
#include <limits>

#include "records/midi_song.h"

namespace tz {

namespace {

// 16.16 tick length split into its parts; `fixed` keeps both together for
// the overflow bound.
struct TickLength {
    int64_t fixed = 0;
    int64_t whole = 0;     // samples per tick
    int64_t fraction = 0;  // 1/65536 samples, 0..65535
};

TickLength splitTickLength(int64_t fixed) {
    return TickLength{fixed, fixed >> 16, fixed & 0xFFFF};
}

// Ticks x tick length may reach at most this before the song is certainly
// too long: 2^31 samples in 16.16 fixed point.
constexpr int64_t kMaxFixedSpan = kMaxSongSamples << 16;

enum class FirstNote { Waiting, Found, Running };

void markInstrument(ToneBank* bank, int32_t slot) {
    if (!bank || slot < 0 || slot > 127) return;
    InstrumentSlot& s = bank->instruments[size_t(slot)];
    if (s.empty()) s.needsLoading = true;
}

}  // namespace

int64_t tickLength(int32_t rate, uint32_t tempo, int32_t division) {
    double value = double(rate) * double(tempo);
    value = value * 0.065536;
    value = value / double(division);
    return int64_t(value);  // |value| < 2^52 for any int32 rate and 24-bit tempo
}

bool buildEventList(MidiSong& song, const std::vector<TrackEvent>& list, int32_t division) {
    song.events.clear();
    if (division <= 0 || song.outputRate <= 0) return false;
    const int32_t rate = song.outputRate;

    TickLength tick = splitTickLength(tickLength(rate, kDefaultTempo, division));

    std::vector<MidiEvent> events;
    events.reserve(list.size() + 1);

    std::array<int32_t, 16> drumSet{};
    std::array<int32_t, 16> bank{};
    std::array<int32_t, 16> program;
    program.fill(song.defaultProgram);

    // The time reached, in output samples and 1/65536 samples.
    int64_t samples = 0;
    int64_t fraction = 0;
    int64_t previousTick = 0;
    FirstNote firstNote = FirstNote::Waiting;

    for (const TrackEvent& node : list) {
        if (node.opcode == EventOpcode::NoteOn && firstNote == FirstNote::Waiting) firstNote = FirstNote::Found;

        const int64_t ticks = node.time - previousTick;
        if (ticks != 0 && firstNote == FirstNote::Running) {
            // Together, samples * 65536 + fraction grow by tick.fixed * ticks.
            if (tick.fixed > 0 && ticks > kMaxFixedSpan / tick.fixed) return false;
            fraction += tick.fraction * ticks;
            int64_t whole = tick.whole * ticks;
            whole += fraction >> 16;
            fraction &= 0xFFFF;
            samples += whole;
            if (samples >= kMaxSongSamples) return false;
        } else if (firstNote == FirstNote::Found) {
            firstNote = FirstNote::Running;
        }
        previousTick = node.time;

        MidiEvent event;
        event.time = int32_t(samples);
        event.channel = node.channel;
        event.opcode = node.opcode;
        event.a = node.a;
        event.b = node.b;

        const size_t c = node.channel & 0x0F;
        const bool drumChannel = isDrumChannel(song, int(c));
        bool keep = true;
        switch (node.opcode) {
        case EventOpcode::Tempo:
            tick = splitTickLength(tickLength(rate, node.tempo, division));
            keep = false;
            break;
        case EventOpcode::NoteOn:
            if (drumChannel) {
                markInstrument(song.drumSets[size_t(drumSet[c])].get(), node.a);
            } else {
                markInstrument(song.melodicBanks[size_t(bank[c])].get(), program[c]);
            }
            break;
        case EventOpcode::ProgramChange:
            if (drumChannel) {
                int32_t set = event.a & 0x7F;
                if (!song.drumSets[size_t(set)]) {
                    event.a = 0;
                    set = 0;
                }
                if (set == drumSet[c]) keep = false;
                else drumSet[c] = set;
            } else {
                if (event.a == program[c]) keep = false;
                else program[c] = event.a;
            }
            break;
        case EventOpcode::BankSelect:
            if (drumChannel) {
                keep = false;
            } else {
                int32_t number = event.a & 0x7F;
                if (!song.melodicBanks[size_t(number)]) {
                    event.a = 0;
                    number = 0;
                }
                if (number == bank[c]) keep = false;
                else bank[c] = number;
            }
            break;
        default:
            break;
        }
        if (keep) events.push_back(event);
    }

    MidiEvent end;
    end.time = int32_t(samples);
    end.opcode = EventOpcode::EndOfSong;
    events.push_back(end);

    song.events = std::move(events);
    song.currentEvent = 0;
    song.lengthSamples = int32_t(samples);
    song.samplesPerTick = int32_t(std::min<int64_t>(tick.whole, std::numeric_limits<int32_t>::max()));
    song.samplesPerTickFraction = int32_t(tick.fraction);
    return true;
}

}  // namespace tz
