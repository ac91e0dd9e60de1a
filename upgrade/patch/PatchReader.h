// Applies a binary patch made by the publisher to the program a workstation holds. Hostile
// input reaches it: every length and offset in a patch is checked before it is used.
#pragma once

#include "core/Exceptions.h"

#include <QByteArray>
#include <atomic>

// A patch that cannot be applied: damaged, cut short, or making something other than
// its announced length. The patch road falls back to the full download on it.
class PatchError : public Exception {
public:
    using Exception::Exception;
};

// The application was stopped through cancel: a PatchError still, but the operator's stop,
// which never falls back to the full download, not a damaged patch.
class PatchCancelled : public PatchError {
public:
    using PatchError::PatchError;
};

// The program that patch turns old into. resultLength is the length the patch's record
// announces; the result is exactly that long, and nothing larger is ever allocated.
// cancel, when given, is looked at every few MiB: once true, PatchCancelled is thrown.
QByteArray applyPatch(const QByteArray &old, const QByteArray &patch, qint64 resultLength,
                      const std::atomic<bool> *cancel = nullptr);
