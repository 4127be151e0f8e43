#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Copies of real programs changed the way a broken release would be: one
// that needs a library nobody has, or a symbol version nobody defines.
// Each returns an empty string on success, else what went wrong.

// Copies from to to (executable) and runs patchelf on the copy with each
// option and its value of patchelfArguments in turn.
QString patchedCopy(const QString &from, const QString &to, const QStringList &patchelfArguments);

// Replaces every name in the file's strings equal to from (a whole,
// NUL-ended string such as GLIBC_2.34) with to, of the same length.
QString renameString(const QString &path, const QByteArray &from, const QByteArray &to);

// A small system program to work on (/usr/bin/true).
QString smallSystemProgram();

// Compiles source (C, or C++) with the system's compiler into output, with
// the compiler's further arguments after it (-shared, -Wl,..., libraries).
enum class Language { C, Cxx };
QString compiled(const QByteArray &source, const QString &output, const QStringList &arguments, Language language = Language::C);
