#pragma once

#include <cstdint>
#include <functional>

#include <QString>

namespace quillet {

class LeftCaptures;
class frmMain;

// At start-up, the working directories that runs no longer alive left
// behind, newest first: for each that holds packets, ask whether to open them
// (ask: true for Yes); Yes reads them into the window's store as opening a
// file does. Each is removed after its answer, either way; one without
// packets is removed without a question.
void OfferLeftCaptures(frmMain& window, LeftCaptures& left, const std::function<bool(const QString&)>& ask);

// The question: how many packets, captured when.
QString LeftCaptureQuestion(std::uint64_t packets, std::int64_t firstUs, std::int64_t lastUs);

}  // namespace quillet
