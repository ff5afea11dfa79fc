#pragma once
// The one JSON line that velnor-tftp --json writes at the end of every run: the contract with scripts,
// schedulers and configuration-management tools. Texts only, no I/O. Field names are stable: new
// fields may be added, none renamed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "CliOptions.h"
#include "JsonWriter.h"
#include "TftpTypes.h"
#include "TransferEntry.h"

// The class of a failed transfer's code (after the router's two phrases got codes of their own).
std::string_view ClassOfResult(TftpResult nCode);

// CliOutcome, the outcome of a run, is the entry point's (TransferEntry.h).

// One line: the object and a line end.
std::string FormatJsonLine(const CliOutcome& outcome);

// JsonString, the escaping of a text in the line, is the JSON writer's (JsonWriter.h).
