#include "tests/support/smf_timing.h"

#include <algorithm>
#include <map>

#include "tests/support/files.h"

namespace tz::test {

namespace {

struct Event {
    uint64_t tick;
    int kind;  // 0 tempo, 1 note on, 2 note off, 3 other kept message
    int channel, note;
    uint32_t tempo;
    bool noteOnStatus;  // a note-on message, velocity 0 included: time starts there
};

uint32_t be(const std::vector<uint8_t>& d, size_t p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | d[p + size_t(i)];
    return v;
}

bool readVar(const std::vector<uint8_t>& d, size_t& p, size_t end, uint32_t& v) {
    v = 0;
    for (int i = 0; i < 5; ++i) {
        if (p >= end) return false;
        uint8_t b = d[p++];
        v = v << 7 | (b & 0x7F);
        if (!(b & 0x80)) return true;
    }
    return false;
}

// Controllers that become events of the song (others are ignored).
bool keptController(int number) {
    return number == 0 || number == 6 || number == 7 || number == 10 || number == 11 || number == 64 ||
           number == 120 || number == 121 || number == 123;
}

bool readTrack(const std::vector<uint8_t>& d, size_t p, size_t end, std::vector<Event>& out) {
    uint64_t tick = 0;
    int status = 0;
    while (p < end) {
        uint32_t delta;
        if (!readVar(d, p, end, delta)) return false;
        tick += delta;
        if (p >= end) return false;
        uint8_t b = d[p];
        if (b == 0xFF) {
            if (p + 2 > end) return false;
            uint8_t type = d[p + 1];
            p += 2;
            uint32_t len;
            if (!readVar(d, p, end, len)) return false;
            if (type == 0x2F) return true;
            if (type == 0x51 && len >= 3 && p + 3 <= end) out.push_back({tick, 0, 0, 0, be(d, p, 3), false});
            p += len;
            continue;
        }
        if (b == 0xF0 || b == 0xF7) {
            ++p;
            uint32_t len;
            if (!readVar(d, p, end, len)) return false;
            p += len;
            continue;
        }
        if (b & 0x80) {
            status = b;
            ++p;
        }
        int type = status >> 4, channel = status & 15;
        int dataBytes = (type == 0xC || type == 0xD) ? 1 : 2;
        if (p + size_t(dataBytes) > end) return false;
        int d1 = d[p], d2 = dataBytes == 2 ? d[p + 1] : 0;
        p += size_t(dataBytes);
        if (type == 0x9 && d2 > 0) out.push_back({tick, 1, channel, d1, 0, true});
        else if (type == 0x8 || type == 0x9) out.push_back({tick, 2, channel, d1, 0, type == 0x9});
        else if (type == 0xA || type == 0xC || type == 0xE) out.push_back({tick, 3, channel, d1, 0, false});
        else if (type == 0xB && (keptController(d1) || (d1 == 32 && d2 == 0)))
            out.push_back({tick, 3, channel, d1, 0, false});
    }
    return true;
}

}  // namespace

SongTiming readSongTiming(const std::vector<uint8_t>& d) {
    SongTiming timing;
    if (d.size() < 14 || be(d, 0, 4) != 0x4D546864) return timing;
    uint32_t division = be(d, 12, 2);
    if (division == 0 || (division & 0x8000)) return timing;
    std::vector<Event> events;
    size_t p = 8 + be(d, 4, 4);
    while (p + 8 <= d.size()) {
        uint32_t len = be(d, p + 4, 4);
        size_t end = std::min(d.size(), p + 8 + size_t(len));
        if (be(d, p, 4) == 0x4D54726B && !readTrack(d, p + 8, end, events)) return timing;
        p = p + 8 + size_t(len);
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.tick < b.tick; });
    auto firstNote = std::find_if(events.begin(), events.end(), [](const Event& e) { return e.noteOnStatus; });
    if (firstNote == events.end()) {
        timing.ok = true;
        return timing;
    }
    // Seconds at every event through the tempo map; time starts at the first note.
    double seconds = 0.0, tempo = 500000.0;
    uint64_t last = 0;
    double start = 0.0;
    std::vector<double> at(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        seconds += double(events[i].tick - last) * tempo / 1e6 / double(division);
        last = events[i].tick;
        at[i] = seconds;
        if (events[i].kind == 0) tempo = events[i].tempo;
    }
    start = at[size_t(firstNote - events.begin())];
    timing.lengthSeconds = at.back() - start;
    std::map<std::pair<int, int>, std::vector<size_t>> open;
    for (size_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        double t = std::max(0.0, at[i] - start);
        if (e.kind == 1) {
            open[{e.channel, e.note}].push_back(timing.notes.size());
            timing.notes.push_back({t, timing.lengthSeconds, e.channel, e.note});
        } else if (e.kind == 2) {
            auto& list = open[{e.channel, e.note}];
            for (size_t n : list) timing.notes[n].off = t;
            list.clear();
        }
    }
    timing.ok = true;
    return timing;
}

SongTiming readSongTiming(const std::string& path) {
    return readSongTiming(readFileBytes(path));
}

}  // namespace tz::test
