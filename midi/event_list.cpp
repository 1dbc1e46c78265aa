#include "midi/event_list.h"

#include <array>

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

// The time of the list in output samples. It stands still until the first
// NoteOn: the ticks up to it, and those between it and the next event that
// comes later, are not counted.
class SongClock {
public:
    SongClock(int32_t rate, int32_t division)
        : rate_(rate), division_(division), tick_(splitTickLength(tickLength(rate, kDefaultTempo, division))) {}

    // Moves the clock to the event's tick. False when the song would end at or
    // beyond kMaxSongSamples.
    bool advanceTo(const TrackEvent& event) {
        if (event.opcode == EventOpcode::NoteOn && firstNote_ == FirstNote::Waiting) firstNote_ = FirstNote::Found;
        const int64_t ticks = event.time - previousTick_;
        if (ticks != 0 && firstNote_ == FirstNote::Running) {
            // Together, samples * 65536 + fraction grow by tick.fixed * ticks.
            if (tick_.fixed > 0 && ticks > kMaxFixedSpan / tick_.fixed) return false;
            fraction_ += tick_.fraction * ticks;
            int64_t whole = tick_.whole * ticks;
            whole += fraction_ >> 16;
            fraction_ &= 0xFFFF;
            samples_ += whole;
            if (samples_ >= kMaxSongSamples) return false;
        } else if (firstNote_ == FirstNote::Found) {
            firstNote_ = FirstNote::Running;
        }
        previousTick_ = event.time;
        return true;
    }

    // The ticks after the current one last this long.
    void setTempo(uint32_t tempo) { tick_ = splitTickLength(tickLength(rate_, tempo, division_)); }

    int32_t samples() const { return int32_t(samples_); }

private:
    enum class FirstNote { Waiting, Found, Running };

    int32_t rate_;
    int32_t division_;
    TickLength tick_;
    int64_t samples_ = 0;
    int64_t fraction_ = 0;  // 1/65536 samples beyond samples_
    int64_t previousTick_ = 0;
    FirstNote firstNote_ = FirstNote::Waiting;
};

void markInstrument(ToneBank* bank, int32_t slot) {
    if (!bank || slot < 0 || slot > 127) return;
    InstrumentSlot& s = bank->instruments[size_t(slot)];
    if (s.empty()) s.needsLoading = true;
}

// The drum set, bank and program each channel has chosen so far.
struct ChannelChoices {
    std::array<int32_t, 16> drumSet{};
    std::array<int32_t, 16> bank{};
    std::array<int32_t, 16> program{};

    explicit ChannelChoices(int32_t startProgram) { program.fill(startProgram); }
};

// Whether the event goes into the list: marks the instrument a NoteOn needs;
// drops program changes and bank selects that change nothing (and bank
// selects on drum channels); turns a choice of a drum set or bank the song
// lacks into 0.
bool keepEvent(MidiSong& song, ChannelChoices& choices, MidiEvent& event) {
    const size_t c = event.channel & 0x0F;
    const bool drumChannel = isDrumChannel(song, int(c));
    switch (event.opcode) {
    case EventOpcode::NoteOn:
        if (drumChannel) {
            markInstrument(song.drumSets[size_t(choices.drumSet[c])].get(), event.a);
        } else {
            markInstrument(song.melodicBanks[size_t(choices.bank[c])].get(), choices.program[c]);
        }
        return true;
    case EventOpcode::ProgramChange:
        if (drumChannel) {
            int32_t set = event.a & 0x7F;
            if (!song.drumSets[size_t(set)]) {
                event.a = 0;
                set = 0;
            }
            if (set == choices.drumSet[c]) return false;
            choices.drumSet[c] = set;
        } else {
            if (event.a == choices.program[c]) return false;
            choices.program[c] = event.a;
        }
        return true;
    case EventOpcode::BankSelect: {
        if (drumChannel) return false;
        int32_t number = event.a & 0x7F;
        if (!song.melodicBanks[size_t(number)]) {
            event.a = 0;
            number = 0;
        }
        if (number == choices.bank[c]) return false;
        choices.bank[c] = number;
        return true;
    }
    default:
        return true;
    }
}

// Events only the standard sound plays. They take their time from the song's
// clock without moving it, so that every other event, and the song's end,
// fall where they fall without them.
bool standardOnly(EventOpcode opcode) {
    switch (opcode) {
    case EventOpcode::ModulationWheel:
    case EventOpcode::ReverbSend:
    case EventOpcode::ChorusSend:
    case EventOpcode::ChannelPressure:
    case EventOpcode::SystemReset: return true;
    default: return false;
    }
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

    SongClock clock(song.outputRate, division);
    ChannelChoices choices(song.defaultProgram);
    std::vector<MidiEvent> events;
    events.reserve(list.size() + 1);
    for (const TrackEvent& node : list) {
        if (standardOnly(node.opcode)) {
            SongClock shadow = clock;
            if (shadow.advanceTo(node))
                events.push_back(MidiEvent{shadow.samples(), node.channel, node.opcode, node.a, node.b});
            continue;
        }
        if (!clock.advanceTo(node)) return false;
        if (node.opcode == EventOpcode::Tempo) {
            clock.setTempo(node.tempo);
            continue;
        }
        MidiEvent event{clock.samples(), node.channel, node.opcode, node.a, node.b};
        if (keepEvent(song, choices, event)) events.push_back(event);
    }

    MidiEvent end;
    end.time = clock.samples();
    end.opcode = EventOpcode::EndOfSong;
    // What only the standard sound plays after the song's last event does
    // not count.
    while (!events.empty() && events.back().time > end.time) events.pop_back();
    events.push_back(end);

    song.events = std::move(events);
    song.currentEvent = 0;
    return true;
}

}  // namespace tz
