#pragma once

#include <QProcessEnvironment>
#include <QString>

#include "FeedSigner.h"

class SigningFixture;

// What `make release` made once in this test run (the fixtures made by
// fw_test_releases, before the tests that need them), for the tests that
// need a good release to work with rather than the script's own behaviour.
// All of it is below the build folder and trusts the identities saved in
// keys().
namespace TestReleases {

QString folder();
// SigningFixture::save's files, and those `make release` is given.
QString keys();
// Build 500, signed and notarized: PREVIOUS of release().
QString previous();
// Build 501 as made with PREVIOUS, notes and a feed valid for ten days, for
// kDownloads (no minimum system version or phased rollout, which could hold
// an install from it back); what the script printed is in releaseSummary().
QString release();
QString releaseBuild(); // the prebuilt folder it was made from
QString releaseSummary();
// Build 501 with a file added and one re-moded, made with PREVIOUS_RELEASES
// holding deltaBase(), release() as build 500 (re-signed): a delta from 500
// is beside its zip, and the folder of earlier releases
// (deltaPreviousReleases()) gained 501.
QString deltaRelease();
QString deltaPreviousReleases();
QString deltaBase();

// The address the releases' feeds name: the zip of release() right below
// it, that of deltaRelease() in dl/.
inline constexpr char kDownloads[] = "https://dl.example.org/";

// The environment `make release` is given to make build 501 of the
// prebuilt folder from the identities in keys (see writeKeys).
QProcessEnvironment inputs(const QString &keys, const QString &url);
// The PEM files `make release` reads, from the fixture's identities.
void writeKeys(const SigningFixture &f, const QString &keys);

// A release's feed as it is when served from base instead of kDownloads:
// its addresses moved, signed again with the developer identity of f (the
// one `make release` signed with; tst_MakeRelease checks that signature).
SignedFeedFiles servedFrom(const QString &release, const QString &base, const SigningFixture &f);

} // namespace TestReleases
