#pragma once
// A start from the desktop menu. The window keeps its settings file in its current folder, and a menu
// starts programs in whatever folder it likes (most often the home folder), so the menu's entry runs
// "velnor-client --menu-start": the configuration folder of Velnor Client becomes the current folder,
// and the file dialogs start in the home folder instead. A start from a terminal has no such argument
// and keeps the terminal's folder.

#include <QStringList>

#include <filesystem>
#include <string>

inline constexpr char kMenuStartOption[] = "--menu-start";

// Whether the program's arguments (after Qt took its own) ask for a menu start.
bool IsMenuStart(const QStringList& args);

// $XDG_CONFIG_HOME/velnor-client, or $HOME/.config/velnor-client where XDG_CONFIG_HOME is unset, empty
// or not an absolute path (the base-directory rule); empty where neither gives an absolute folder.
std::filesystem::path MenuStartFolder(const char* pszXdgConfigHome, const char* pszHome);

// Creates the folder and any missing parent with mode 0700 (folders made for a user's settings are
// the user's alone), then makes it the current folder. Returns an empty text, or what went wrong.
std::string EnterMenuStartFolder(const std::filesystem::path& folder);

// Everything a menu start does, from the environment. When the configuration folder cannot be made
// or entered, says so on standard error and goes on where it was started.
void PrepareMenuStart();
