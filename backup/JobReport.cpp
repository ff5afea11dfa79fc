#include "JobReport.h"

#include <charconv>
#include <cstdint>
#include <system_error>

#include "WorkerChannel.h"

namespace {

constexpr std::size_t kOutcomeFields = 13;

std::string Optional(const std::optional<std::string>& text)
{
    return text ? "=" + *text : std::string();
}

std::string Flag(bool b) { return b ? "1" : "0"; }

template <typename Number>
std::string Decimal(Number n)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, n).ptr;
    return std::string(text, end);
}

template <typename Number>
bool ReadNumber(const std::string& text, Number& n)
{
    const char* const pEnd = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), pEnd, n);
    return !text.empty() && ec == std::errc() && ptr == pEnd;
}

// An optional field: absent, or its value after "=".
bool ReadOptional(const std::string& field, std::optional<std::string>& value)
{
    if (field.empty()) {
        value.reset();
        return true;
    }
    if (field[0] != '=')
        return false;
    value = field.substr(1);
    return true;
}

bool ReadFlag(const std::string& field, bool& b)
{
    if (field != "0" && field != "1")
        return false;
    b = field == "1";
    return true;
}

bool ReadOutcome(const std::string* f, CliOutcome& o)
{
    std::optional<std::string> operation, number, code, failureClass, changed;
    if (!ReadOptional(f[0], o.router) || !ReadOptional(f[1], operation) || !ReadOptional(f[2], number)
        || !ReadOptional(f[3], o.localFile) || !ReadFlag(f[4], o.bOk) || !ReadOptional(f[5], code)
        || !ReadOptional(f[6], failureClass) || !ReadOptional(f[8], o.routerText) || !ReadNumber(f[9], o.nBytes)
        || !ReadNumber(f[10], o.dSeconds) || !ReadOptional(f[11], changed) || !ReadOptional(f[12], o.detail))
        return false;
    o.message = f[7];
    if (operation) {
        for (CliOperation known : {CliOperation::Get, CliOperation::Put, CliOperation::Revup}) {
            if (*operation == CliOperationName(known))
                o.operation = known;
        }
        if (!o.operation)
            return false;
    }
    if (number && !ReadNumber(*number, o.fileNumber.emplace()))
        return false;
    if (code && !ReadNumber(*code, o.code.emplace()))
        return false;
    if (failureClass && !(o.failureClass = FailureClassNamed(*failureClass)))
        return false;
    if (changed && !ReadFlag(*changed, o.changed.emplace()))
        return false;
    return true;
}

}  // namespace

std::string EncodeTransferFrame(int nExit, const std::optional<CliOutcome>& outcome)
{
    std::vector<std::string> fields{"transfer", Decimal(nExit)};
    if (!outcome) {
        fields.emplace_back();
        return EncodeFrame(fields);
    }
    const CliOutcome& o = *outcome;
    auto optionalText = [](const auto& value, auto text) { return value ? "=" + text(*value) : std::string(); };
    fields.insert(fields.end(), {
        "1",
        Optional(o.router),
        optionalText(o.operation, [](CliOperation op) { return std::string(CliOperationName(op)); }),
        optionalText(o.fileNumber, [](int n) { return Decimal(n); }),
        Optional(o.localFile),
        Flag(o.bOk),
        optionalText(o.code, [](TftpResult n) { return Decimal(n); }),
        optionalText(o.failureClass, [](std::string_view name) { return std::string(name); }),
        o.message,
        Optional(o.routerText),
        Decimal(o.nBytes),
        Decimal(o.dSeconds),
        optionalText(o.changed, [](bool b) { return Flag(b); }),
        Optional(o.detail),
    });
    return EncodeFrame(fields);
}

std::string EncodePlacedFrame(const std::string& placed, const std::string& strError)
{
    return EncodeFrame({"placed", placed, strError});
}

bool ApplyJobFrame(const std::vector<std::string>& fields, JobReport& report, bool& bJobEnded)
{
    bJobEnded = false;
    if (fields.size() == 3 && fields[0] == "placed") {
        if (fields[1] != "changed" && fields[1] != "unchanged" && fields[1] != "failed")
            return false;
        report.placed = fields[1];
        report.strPlaceError = fields[2];
        bJobEnded = true;
        return true;
    }
    if (fields.size() < 3 || fields[0] != "transfer" || !ReadNumber(fields[1], report.nExit))
        return false;
    if (fields[2].empty() && fields.size() == 3) {
        report.transfer.reset();
    } else if (fields[2] == "1" && fields.size() == 3 + kOutcomeFields) {
        if (!ReadOutcome(&fields[3], report.transfer.emplace())) {
            report.transfer.reset();
            return false;
        }
    } else {
        return false;
    }
    // Only a transfer that succeeded has a copy to put into place.
    bJobEnded = report.nExit != CLI_EXIT_OK;
    return true;
}
