// Waiting for a driver call without holding up the thread's event loop.
#pragma once

#include <functional>
#include <memory>

class CDriverCall;
class QObject;

// How long a thread with an event loop may wait for a driver's answer before
// it lets the loop run: a prompt driver answers within it, and the caller
// goes on in one piece as it always did.
constexpr int kAnswerGraceMs = 50;

// Runs `then` on `context`'s thread once `call` has answered or its bound has
// passed: at once when that happens within `graceMs`, otherwise from the
// event loop. When `context` goes first, `then` never runs and the call is
// given up.
void AfterAnswer(QObject* context, const std::shared_ptr<CDriverCall>& call, int graceMs,
                 std::function<void()> then);
