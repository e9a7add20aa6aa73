// Every text the interface shows, in English and Dutch, side by side. There
// is no catalogue and no lookup by key: code names the pair it shows and
// Text() picks the language at that moment, so flipping the language takes
// effect on the next caption change and the next paint.
//
// Translators: the left string is English, the right one Dutch. Texts the
// archive side raises are English only; the few that a worker writes for the
// user carry both languages in one string and live with the worker.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace cindral {

struct TextPair {
  const wchar_t* english;
  const wchar_t* dutch;
};

// --- Window and buttons -----------------------------------------------------
inline constexpr TextPair kTextTitle{L"Vantle", L"Vantle"};
inline constexpr TextPair kTextExtractHere{L"Extract here", L"Hier uitpakken"};
inline constexpr TextPair kTextCreateZip{L"Create ZIP", L"Maak ZIP"};
inline constexpr TextPair kTextWorking{L"Working…", L"Bezig…"};
inline constexpr TextPair kTextTryAgain{L"Try again", L"Opnieuw proberen"};
inline constexpr TextPair kTextCancel{L"Cancel", L"Annuleren"};
inline constexpr TextPair kTextStopping{L"Stopping…", L"Stoppen…"};
inline constexpr TextPair kTextLanguageButton{L"NL / EN", L"NL / EN"};
inline constexpr TextPair kTextCancelling{L"Cancelling…", L"Annuleren…"};
inline constexpr TextPair kTextOpenFilterName{L"ZIP / 7z", L"ZIP / 7z"};

// --- Painted texts ----------------------------------------------------------
inline constexpr TextPair kTextSubtitle{L"ZIP / 7z · 26.04", L"ZIP / 7z · 26.04"};
inline constexpr TextPair kTextTagline{L"SMALL. FAST. NATIVE.", L"KLEIN. SNEL. NATIVE."};
inline constexpr TextPair kTextHeadlineIdle{L"Unpack it. One click.", L"Alles eruit. Eén klik."};
inline constexpr TextPair kTextHeadlinePacking{L"Packing things up.", L"Even inpakken."};
inline constexpr TextPair kTextHeadlineExtracting{L"Opening things up.", L"Even uitpakken."};
inline constexpr TextPair kTextDropZoneEmpty{L"Drop a ZIP or 7z archive here",
                                             L"Sleep een ZIP- of 7z-archief hierheen"};
inline constexpr TextPair kTextStatusIdle{
    L"Beside the archive · existing files stay safe",
    L"Naast het archief · bestaande bestanden blijven veilig"};
inline constexpr TextPair kTextPhaseIdle{L"READY WHEN YOU ARE", L"KLAAR VOOR DE START"};
inline constexpr TextPair kTextPhasePacking{L"COMPRESSING", L"INPAKKEN"};
inline constexpr TextPair kTextPhaseExtracting{L"EXTRACTING", L"UITPAKKEN"};
inline constexpr TextPair kTextCpuCaption{L"CPU · ALL LOGICAL CORES", L"CPU · ALLE LOGISCHE CORES"};
inline constexpr TextPair kTextHintFullScreen{L"F11 · full screen", L"F11 · volledig scherm"};
inline constexpr TextPair kTextHintWindow{L"Esc · window", L"Esc · venster"};

// --- Prompts and results ----------------------------------------------------
inline constexpr TextPair kTextPasswordLabel{L"Password for this archive",
                                             L"Wachtwoord voor dit archief"};
inline constexpr TextPair kTextPasswordConfirm{L"Extract", L"Uitpakken"};
inline constexpr TextPair kTextConflictInstruction{L"This file already exists.",
                                                   L"Dit bestand bestaat al."};
inline constexpr TextPair kTextConflictSkip{L"Skip", L"Overslaan"};
inline constexpr TextPair kTextConflictKeepBoth{L"Keep both", L"Andere naam"};
inline constexpr TextPair kTextConflictReplace{L"Replace", L"Vervangen"};
inline constexpr TextPair kTextWorkerDied{L"Worker stopped. It may have exceeded the memory limit.",
                                          L"Worker gestopt. Mogelijk onvoldoende geheugen."};
inline constexpr TextPair kTextRetryStatus{L"Retry scans the folder again",
                                           L"Opnieuw starten leest de map opnieuw"};
inline constexpr TextPair kTextCouldNotFinish{L"Vantle · could not finish",
                                              L"Vantle · niet voltooid"};

// --- Composite texts: a pair's words around a value -------------------------
inline constexpr TextPair kTextSelectedItemsSuffix{L" selected items", L" geselecteerde items"};
inline constexpr TextPair kTextCoresSuffix{L" cores available · load depends on the codec",
                                           L" cores beschikbaar · codec bepaalt de belasting"};

// --- The language -----------------------------------------------------------

// True for every Dutch user interface language (any sub-language); Frisian
// and Afrikaans are languages of their own.
bool IsDutchLanguage(LANGID language);

// The process-wide choice, set from the user's interface language before the
// program's entry runs. Interface thread only.
bool IsDutchInterface();
void SetDutchInterface(bool dutch);
// The language button.
void FlipInterfaceLanguage();

// The pair's text in the current language.
const wchar_t* Text(const TextPair& pair);

// The drop zone: the text for no item, the file name (last path component)
// of a single item, or "<count> selected items".
std::wstring DropZoneText(const std::vector<std::wstring>& items);
// "<processors> cores available · load depends on the codec".
std::wstring CoresAvailableText(size_t processors);

}  // namespace cindral
