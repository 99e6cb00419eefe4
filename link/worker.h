#pragma once

#include "platform/workerthread.h"

#include <atomic>
#include <cstdint>

// The worker takes the meter's replies. Woken by the port's trigger (a complete reply while
// polling runs) or by the reply timer, it runs one pickup pass: it takes every byte waiting at
// the port, validates them, hands a measurement to HandleMeasurement or reports a missing or
// broken reply, and sleeps again. Whatever a pass does to the window, the timers and the message
// box runs on the UI thread while the pass waits for it.
class thr : public platform::WorkerThread
{
public:
    thr() = default;
    ~thr() override { Shutdown(); }

    // Shows the measurement reply in ReplyBuf. UI thread.
    void HandleMeasurement();

protected:
    void Execute() override;

private:
    void PickupPass();
    // On the worker: shows the message for LinkError and waits until it is closed, then
    // unlocks the range controls.
    void ReportLinkError();
};

extern thr* Worker;

inline constexpr std::uint8_t LinkOk = 0;
inline constexpr std::uint8_t LinkNoAnswer = 1;
inline constexpr std::uint8_t LinkChecksumError = 2;

// Outcome of the last pickup pass: written by the worker, readable from any thread.
extern std::atomic<std::uint8_t> LinkError;

inline constexpr const char* NoAnswerText = "Нет ответа от прибора!";
inline constexpr const char* ChecksumErrorText = "Ошибка контрольной суммы!";
