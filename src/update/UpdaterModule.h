#pragma once

#include "update/UpdaterInterface.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

// The updater and what only it needs (Qt Network, OpenSSL, libarchive) are
// built as a module of the bundle, Contents/lib/ferrowhistle-updater.so, so
// that a start that only shows a card does not load them first. The app
// opens the module's file at start and loads it once the launch has settled,
// or at once when something needs the updater before that.
namespace UpdaterModule {

// The module's place in a bundle.
QString pathIn(const QString &bundlePath);

// Opens this copy's module file, so that a later load takes the module of
// the copy that started even if the bundle at its path has been replaced
// meanwhile. Returns a sentence saying why when the file cannot be opened.
std::optional<QString> open(const QString &bundlePath);

// Loads the module on a worker thread, then makes the updater on this (the
// GUI) thread. Ends the process with a line in the log when the module
// cannot be loaded: the copy is damaged.
QCoro::Task<UpdaterInterface *> load();

// The updater, loading the module on this thread first if needed.
UpdaterInterface &shared();

// Whether shared() returns without loading anything.
bool isLoaded();

} // namespace UpdaterModule

// The module's one entry point: the process's updater, made on first call.
extern "C" UpdaterInterface *ferrowhistle_updater();
