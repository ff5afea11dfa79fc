#pragma once
// The backup's state for monitoring: the text exposition format that a node exporter's textfile
// collector reads, made from the whole state (not from one run alone, so that no router's series
// disappears or starts again because one run failed).

#include <string>

#include "BackupState.h"

std::string FormatBackupMetrics(const BackupState& state);

// Written to a temporary file in the folder of strPath and renamed over it (mode 0644: the collector
// runs as another user; nothing in it is secret).
bool WriteBackupMetrics(const std::string& strPath, const BackupState& state, std::string* pstrError);
