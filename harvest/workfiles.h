#pragma once
// Names of the files the job and the start control share, all beside the executable.

inline constexpr const char* kListsFile = "lists.dat";        // the queue a run left
inline constexpr const char* kAllKnownFile = "allknown.dat";  // the region keys of that run
inline constexpr const char* kContextFile = "context.dat";    // region names and cards the queue still needs
inline constexpr const char* kCardsFile = "cards.dat";        // card links of an earlier run
inline constexpr const char* kSkipFile = "skip.txt";          // ignore list kept by the user
inline constexpr const char* kCitiesFile = "cities.txt";      // the region list
inline constexpr const char* kSelectionFile = "selection.txt";  // the saved selection
