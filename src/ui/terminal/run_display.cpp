// The terminal during an extraction run: the meter drawn as a bar on one
// line of a terminal, the show-the-meter timer, and Ctrl-C as the way to ask
// for the run to stop.
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "ui/terminal/terminal.h"
#include "ui/ui.h"

namespace {

enum : uint32_t {
    kBarWidth = 30,           // cells of the bar
    kBarDecorWidth = 2 + kBarWidth + 9,  // "[", the bar, "]", " 100 %  "
    kRedrawIntervalMs = 100,  // the bar is drawn at most this often
    kDefaultColumns = 80,
};

// The meter of this front-end: it exists when standard output is a
// terminal; it holds its position as the control holds its own.
struct TerminalMeter {
    int exists;
    uint32_t position;
    uint64_t lastDrawMs;
    uint64_t timerStartMs;  // when the show-the-meter timer was started
};
TerminalMeter meter;

// Set by SIGINT during a run; PollCancel asks the question. A second Ctrl-C
// before the first is answered ends the program as Ctrl-C normally does.
volatile sig_atomic_t interruptPending;

void OnInterrupt(int) {
    if (interruptPending) {
        signal(SIGINT, SIG_DFL);
        raise(SIGINT);
        return;
    }
    interruptPending = 1;
}

uint64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

uint32_t TerminalColumns() {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return kDefaultColumns;
}

// The bar and the entry's text on one line, drawn over the previous one.
void DrawMeter(int force) {
    if (!meter.exists || !state.meterShown) return;
    uint64_t now = NowMs();
    if (!force && now - meter.lastDrawMs < kRedrawIntervalMs) return;
    meter.lastDrawMs = now;
    uint32_t shown = meter.position > 100 ? 100 : meter.position;
    uint32_t filled = shown * kBarWidth / 100;
    char bar[kBarWidth + 1];
    for (uint32_t i = 0; i < kBarWidth; i++) bar[i] = i < filled ? '#' : '-';
    bar[kBarWidth] = 0;
    // The text may take what the line leaves; never more than the meter's
    // own area.
    uint32_t columns = TerminalColumns();
    uint32_t room = columns > kBarDecorWidth + 1 ? columns - kBarDecorWidth - 1 : 1;
    fprintf(stdout, "\r[%s] %3u %%  ", bar, shown);
    if (state.currentName[0] != 0) {  // no entry yet: the bar alone
        char text[kMeterTextArea];
        FormatEntryStatus(text, room < sizeof text ? room : (uint32_t)sizeof text);
        PutTerminalText(stdout, text);
    }
    fputs("\x1b[K", stdout);
    fflush(stdout);
}

// Timer 69 of the dialog, checked at each poll: its tick comes half a
// second after the start.
void CheckProgressTimer() {
    if (state.progressTimer == 0 || NowMs() - meter.timerStartMs < kProgressTimerPeriod) return;
    ProgressTimerTick();
}

}  // namespace

// The meter exists where standard output is a terminal; Ctrl-C asks for
// the run to stop, with or without it.
int BeginRunDisplay() {
    meter.exists = OutputIsTerminal();
    meter.position = 0;
    meter.lastDrawMs = 0;
    interruptPending = 0;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, 0);
    return meter.exists;
}

// The tick is looked for at each poll; it never fails to start.
uintptr_t StartProgressTimer() {
    meter.timerStartMs = NowMs();
    return kProgressTimerId;
}

void KillProgressTimer() {}

void ShowMeter() {
    state.meterShown = 1;
    DrawMeter(1);
}

void EndRunDisplay() {
    signal(SIGINT, SIG_DFL);
    interruptPending = 0;
    meter.position = 100;
    if (meter.exists && state.meterShown) {
        DrawMeter(1);
        fputc('\n', stdout);
        fflush(stdout);
    }
}

void RegisterMeterClass(void*) {}

// After each write: the timer's tick, then Ctrl-C's question, message 11
// (Oui/Non, Non by default). 1 when the user answered Oui. When nobody can
// answer (standard input is not a terminal, or has ended), Ctrl-C stops the
// run as Oui does: the safe answer of the box, Non, would write the whole
// archive after all.
int PollCancel() {
    CheckProgressTimer();
    if (!interruptPending) return 0;
    if (meter.exists && state.meterShown) fputc('\n', stdout);
    fflush(stdout);
    if (!isatty(STDIN_FILENO) || feof(stdin)) {
        interruptPending = 0;
        return 1;
    }
    int answer = sfxPlatform.messageBox(state.mainDialog, MessageText(MSG_CONFIRM_ABORT), programTitle,
                                        kBoxYesNo | kBoxIconQuestion | kBoxDefaultButton2);
    interruptPending = 0;
    return answer == kAnswerYes;
}

void MeterSetPosition(uint32_t position) {
    meter.position = position & 0xFFFF;
    DrawMeter(0);
}

void MeterRepaint() { DrawMeter(0); }

// A terminal has no mouse cursor to change.
void UseCursor(void*) {}
