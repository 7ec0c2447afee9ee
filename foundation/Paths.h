#pragma once

#include <string>

namespace sonorix {

// The per-user data folder: $XDG_DATA_HOME/nubosoft, by default ~/.local/share/nubosoft.
// Created on first use; empty when it cannot be created. An override (the console's --data-dir)
// takes its place.
std::string dataFolder();
void setDataFolderOverride(const std::string& folder);

// Creates a folder and its parents (mode 0700 for new ones). True when it exists afterwards.
bool makeFolders(const std::string& path);

// A file "exists" when stat(2) succeeds for it.
bool fileExists(const std::string& path);

// The file's device, inode, size and modification and change times as text; empty when stat(2)
// fails.
// Any write, any file renamed into its place and any change of its metadata give another text,
// also where a tool sets the modification time back.
std::string fileIdentity(const std::string& path);

} // namespace sonorix
