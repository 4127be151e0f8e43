#pragma once

// The names the automation action answers under, as plain C strings for the
// command-line client, which runs without Qt.
namespace BusNames::Literal {

inline constexpr char service[] = "com.copperkestrel.Ferrowhistle";
inline constexpr char objectPath[] = "/com/copperkestrel/Ferrowhistle";
inline constexpr char intentsInterface[] = "com.copperkestrel.Ferrowhistle.Intents";
inline constexpr char displayMessage[] = "DisplayMessage";
inline constexpr char displayMessageWithOptions[] = "DisplayMessageWithOptions";

} // namespace BusNames::Literal
