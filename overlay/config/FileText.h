#pragma once
// Whole-file reads of the small text files the overlay consults (brand, port, profile, position).
// Any of them may be missing, binary, a directory, a dangling link or absurdly large; every such case
// is simply "could not read", and the caller takes its fallback. Plain functions, safe on any thread.

#include <QString>

#include <optional>

namespace cw {

// None of the small files (port, window position) is legitimately larger than this; callers reading
// files with more in them pass their own limit.
inline constexpr qint64 kMaxTextFileBytes = 64 * 1024;

// The file's content decoded as UTF-8, or nothing when it cannot be read, is not valid UTF-8 or is
// larger than maxBytes.
std::optional<QString> readUtf8File(const QString& path, qint64 maxBytes = kMaxTextFileBytes);

} // namespace cw
