#pragma once

// The names the automation action answers under, as plain C strings for the
// command-line client, which runs without Qt.
namespace BusNames::Literal {

inline constexpr char service[] = "com.copperkestrel.Ferrowhistle";
inline constexpr char objectPath[] = "/com/copperkestrel/Ferrowhistle";
inline constexpr char intentsInterface[] = "com.copperkestrel.Ferrowhistle.Intents";
inline constexpr char displayMessage[] = "DisplayMessage";
inline constexpr char displayMessageWithOptions[] = "DisplayMessageWithOptions";
// The running copy's own account of itself, asked by the start watch.
inline constexpr char instanceInterface[] = "com.copperkestrel.Ferrowhistle.Instance";
inline constexpr char build[] = "Build";
inline constexpr char bundlePath[] = "BundlePath";
// Build and BundlePath before the launch has settled.
inline constexpr char startingError[] = "com.copperkestrel.Ferrowhistle.Error.Starting";

} // namespace BusNames::Literal
