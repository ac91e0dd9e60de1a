// Makes the binary patch from one published program to the next (applyPatch reverses it).
#pragma once

#include <QByteArray>
#include <functional>

// progress(done, all) is called now and then while the patch is made, from the calling thread.
QByteArray makePatch(const QByteArray &old, const QByteArray &neu,
                     const std::function<void(qint64 done, qint64 all)> &progress = {});
