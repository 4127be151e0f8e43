#pragma once

#include <QByteArray>
#include <QVariant>

#include <plist/plist++.h>

#include <memory>

// Property-list values as Qt values, shared by Info.plist and the settings
// store: strings, booleans, integers (qint64), reals and dates (QDateTime).

// The root dictionary of an XML or binary property list, or null when the
// bytes are not one, nest deeper than any of our files could or hold a NUL.
std::unique_ptr<PList::Dictionary> parsePlistDictionary(const QByteArray &bytes);

// False when the containers of an XML or binary property list nest too
// deeply to be parsed safely (or, in a binary one, refer back to themselves),
// or when a string or key would hold a NUL, on which libplist aborts.
bool plistNestingWithinLimit(const QByteArray &bytes);

// A node's value; invalid for the types above none of (arrays, data, ...).
QVariant plistToVariant(const PList::Node *node);

// The value stored under key in a dictionary; invalid when it is missing.
QVariant plistValue(const PList::Dictionary &dictionary, const QString &key);

// A node for a value of the types above; null for any other, or for a date
// libplist cannot hold.
std::unique_ptr<PList::Node> variantToPlist(const QVariant &value);
