// Commit's progress stage. The payload program's output is read from the pipe
// as it comes, counted line by line, and its ticks are sent in increment
// records: several ticks in one record when more output is already waiting, so
// that a payload printing thousands of lines is not held back by one round trip
// through the installer's user interface per line. Whenever the pipe is empty
// every tick counted so far has been sent, so the bar never lags a quiet
// payload; while output flows a record goes out at least every
// kRecordInterval, so that a cancel is seen as soon.
#include "CommitProgress.h"

#include "Messaging.h"

#include <chrono>

namespace krt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProgressTotal = 8800;
constexpr unsigned kPieceLength = 511;  // characters of one fgets into 512 bytes
constexpr DWORD kReadSize = 8192;
constexpr Clock::duration kRecordInterval = std::chrono::milliseconds(50);
// How long one wait for the payload program lasts once its output has ended;
// each wait is followed by a record, so a cancel is still seen.
constexpr DWORD kExitWaitSliceMs = 100;

// One character of the text-mode stream; 1 when it completes a piece.
unsigned long TakeCharacter(LineTickCounter* counter, char c) {
    if (c == '\n' || ++counter->pieceLength == kPieceLength) {
        counter->pieceLength = 0;
        return 1;
    }
    return 0;
}

struct Stage {
    MSIHANDLE hInstall;
    MSIHANDLE hRecord;
    HANDLE hProcess;
    HANDLE hOutput;
    LineTickCounter counter{};
    bool outputEnded = false;
    unsigned long ticksCounted = 0;  // not yet sent
    unsigned long ticksSent = 0;
    unsigned long records = 0;
    Clock::time_point lastRecord = Clock::now();
};

void EndOutput(Stage* stage) {
    stage->outputEnded = true;
    stage->ticksCounted += FinishLineTicks(&stage->counter);
}

// Reads what the program has written until a record is due: the pipe is empty
// with ticks counted (the next read might wait), kRecordInterval has passed
// with ticks counted, or the output has ended. A read that may wait is made
// only when nothing is counted. The end of the output is left to the read to
// find: the look at the pipe only says how much can be read without waiting.
void ReadUntilRecordDue(Stage* stage) {
    char buffer[kReadSize];
    for (;;) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(stage->hOutput, nullptr, 0, nullptr, &waiting, nullptr)) {
            const unsigned long error = static_cast<unsigned long>(GetLastError());
            if (error != ERROR_BROKEN_PIPE) LogInfo(stage->hInstall, "PeekNamedPipe failed with error %lu", error);
            waiting = 0;  // taken as empty
        }
        if (stage->ticksCounted > 0 &&
            (waiting == 0 || Clock::now() - stage->lastRecord >= kRecordInterval))
            return;
        DWORD got = 0;
        const DWORD size = waiting == 0 || waiting > kReadSize ? kReadSize : waiting;
        if (!ReadFile(stage->hOutput, buffer, size, &got, nullptr)) {
            const unsigned long error = static_cast<unsigned long>(GetLastError());
            if (error != ERROR_BROKEN_PIPE) LogInfo(stage->hInstall, "ReadFile failed with error %lu", error);
            return EndOutput(stage);
        }
        stage->ticksCounted += CountLineTicks(&stage->counter, buffer, got);
    }
}

// Sends the ticks counted since the last record; false when the user cancelled.
bool SendIncrement(Stage* stage) {
    SetProgressIncrement(stage->hRecord, static_cast<int>(stage->ticksCounted));
    stage->ticksSent += stage->ticksCounted;
    stage->ticksCounted = 0;
    ++stage->records;
    const int answer = MsiProcessMessage(stage->hInstall, INSTALLMESSAGE_PROGRESS, stage->hRecord);
    stage->lastRecord = Clock::now();
    return answer != IDCANCEL;
}

enum class Check { Running, Ended, Failed };

// Whether the program has ended, from its process handle being signalled: an
// exit code alone cannot say, since a program may end with STILL_ACTIVE (259).
// Only a wait that cannot be used falls back on the exit code.
Check CheckPayloadEnded(Stage* stage, DWORD* exitCode) {
    const DWORD wait = WaitForSingleObject(stage->hProcess, 0);
    if (wait == WAIT_TIMEOUT) return Check::Running;
    if (!GetExitCodeProcess(stage->hProcess, exitCode)) {
        Abort(stage->hInstall, "Aborting installation - could not get exit code of spawned process.",
              "GetExitCodeProcess", static_cast<unsigned long>(GetLastError()));
        return Check::Failed;
    }
    if (wait == WAIT_OBJECT_0) return Check::Ended;
    LogInfo(stage->hInstall, "WaitForSingleObject gave %lu, error %lu", static_cast<unsigned long>(wait),
            static_cast<unsigned long>(GetLastError()));
    return *exitCode == STILL_ACTIVE ? Check::Running : Check::Ended;
}

}  // namespace

unsigned long CountLineTicks(LineTickCounter* counter, const char* bytes, std::size_t size) {
    unsigned long ticks = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (counter->pendingCR) {
            counter->pendingCR = false;
            if (c == '\n') {
                ticks += TakeCharacter(counter, '\n');
                continue;
            }
            ticks += TakeCharacter(counter, '\r');
        }
        if (c == '\r')
            counter->pendingCR = true;
        else
            ticks += TakeCharacter(counter, c);
    }
    return ticks;
}

unsigned long FinishLineTicks(LineTickCounter* counter) {
    unsigned long ticks = 0;
    if (counter->pendingCR) ticks += TakeCharacter(counter, '\r');
    counter->pendingCR = false;
    if (counter->pieceLength > 0) ++ticks;
    counter->pieceLength = 0;
    return ticks;
}

UINT RunPayloadProgress(MSIHANDLE hInstall, MSIHANDLE hProgressRecord, HANDLE hProcess, HANDLE hOutput) {
    SetProgressReset(hProgressRecord, kProgressTotal);
    MsiProcessMessage(hInstall, INSTALLMESSAGE_PROGRESS, hProgressRecord);

    Stage stage{hInstall, hProgressRecord, hProcess, hOutput};
    DWORD exitCode = STILL_ACTIVE;
    for (;;) {
        if (!stage.outputEnded) {
            ReadUntilRecordDue(&stage);
        } else if (WaitForSingleObject(hProcess, kExitWaitSliceMs) == WAIT_FAILED) {
            Sleep(kExitWaitSliceMs);  // never spin, even if the wait cannot be used
        }
        if (!SendIncrement(&stage)) {
            LogInfo(hInstall, "cancelled by the user after %lu progress records", stage.records);
            return kUserExit;
        }
        const Check check = CheckPayloadEnded(&stage, &exitCode);
        if (check == Check::Failed) return kUserExit;
        if (check == Check::Ended) break;
    }
    // The exit code is logged, not acted on: what the program laid down is
    // judged by the stages that follow.
    LogInfo(hInstall, "payload program ended with exit code %lu; %lu ticks in %lu progress records",
            static_cast<unsigned long>(exitCode), stage.ticksSent, stage.records);
    return kSuccess;
}

}  // namespace krt
