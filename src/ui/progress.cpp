// The progress value of the meter and the per-entry status text.
#include "output/output.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/name_text.h"
#include "ui/ui.h"

namespace {

enum : uint32_t { kEllipsisLength = 3, kShortNameCapacity = kCurrentNameCapacity };

// The end of the longest run of whole characters from text that takes at
// most count bytes.
const char* HeadOfAtMost(const char* text, uint32_t count) {
    const char* end = text;
    for (;;) {
        const char* next = sfxPlatform.nextChar(end);
        if (next == end || (uint32_t)(next - text) > count) return end;
        end = next;
    }
}

// The first character boundary from which at most count bytes remain.
const char* TailOfAtMost(const char* text, uint32_t length, uint32_t count) {
    const char* p = text;
    while (*p != 0 && (uint32_t)(text + length - p) > count) p = sfxPlatform.nextChar(p);
    return p;
}

}  // namespace

void FormatWithName(char* area, uint32_t capacity, const char* format, const char* name) {
    uint32_t needed = FormatText(area, capacity, format, name);
    if (needed < capacity) return;
    uint32_t nameLength = TextLength(name);
    uint32_t fixedLength = needed - nameLength;
    if (fixedLength + kEllipsisLength + 2 >= capacity) return;  // already cut at its end
    uint32_t room = capacity - 1 - fixedLength;                // bytes the name may take
    if (room >= kShortNameCapacity) room = kShortNameCapacity - 1;
    uint32_t headCount = (room - kEllipsisLength) / 2;
    uint32_t tailCount = room - kEllipsisLength - headCount;
    const char* headEnd = HeadOfAtMost(name, headCount);
    const char* tail = TailOfAtMost(name, nameLength, tailCount);
    char shortName[kShortNameCapacity];
    uint32_t length = 0;
    for (const char* p = name; p < headEnd; p++) shortName[length++] = *p;
    for (uint32_t i = 0; i < kEllipsisLength; i++) shortName[length++] = '.';
    for (const char* p = tail; *p != 0; p++) shortName[length++] = *p;
    shortName[length] = 0;
    FormatText(area, capacity, format, shortName);
}

// With T the configured total and D the bytes written: D*100/T below 100,
// D/(T/100) otherwise (both unsigned 32-bit, truncating), 0 for a total of 0.
uint32_t MeterPosition() {
    uint32_t total = sfxConfigBlock.totalSize;
    uint32_t done = state.bytesDone;
    if (total == 0) return 0;
    if (total < 100) return done * 100 / total;
    return done / (total / 100);
}

// Step 6 of Unzip: a large archive (its end record at 512 KiB or beyond) or
// a spanned one shows the meter from the start.
bool MeterAtOnce() {
    return (int32_t)sfxConfigBlock.endRecordOffset >= kMeterAtOnceOffset || (sfxConfigBlock.flags & SFXF_SPANNED);
}

// Timer 69, half a second in: a run that has written less than a third of
// the total by then is slow enough to deserve the meter.
bool MeterDueAtTimer() {
    return state.extracting && state.bytesDone < sfxConfigBlock.totalSize / 3;
}

void RefreshMeter() {
    if (state.meterShown) MeterSetPosition(MeterPosition() & 0xFFFF);
    MeterRepaint();
}

// Message 34 with the file-name part of currentName.
void FormatEntryStatus(char* area, uint32_t capacity) {
    FormatWithName(area, capacity, MessageText(MSG_EXTRACTING), LastComponent(state.currentName));
}

// Before the data of each entry: the status line shows the entry, unless
// the meter is shown, which picks the name up at its next paint.
void ShowEntryStatus() {
    if (state.meterShown) return;
    char area[kEntryStatusArea];
    FormatEntryStatus(area, sizeof area);
    StatusLineShow(area);
}
