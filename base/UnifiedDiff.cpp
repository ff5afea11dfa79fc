#include "UnifiedDiff.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "SafeText.h"

namespace {

constexpr std::size_t kContext = 3;
// Beyond this many differing lines the shortest edit is not sought any further: the lines between the
// common start and end are shown as removed and added. A configuration file that changed that much
// is read as a new file anyway.
constexpr int kMaxEditDistance = 2000;

enum class Op : std::uint8_t { Equal, Delete, Insert };

// Lines with their line ends: a last line without one differs from the same text with one.
std::vector<std::string_view> SplitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::size_t n = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(0, n));
        text.remove_prefix(n);
    }
    return lines;
}

// The shortest edit script of a into b (Myers' greedy algorithm), deletions tried before insertions.
// Empty when the distance exceeds the bound.
std::vector<Op> ShortestEdit(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b)
{
    const int n = static_cast<int>(a.size()), m = static_cast<int>(b.size());
    const int nMax = std::min(n + m, kMaxEditDistance);
    const int nOffset = nMax + 1;
    std::vector<int> v(static_cast<std::size_t>(2 * nMax + 3), 0);
    auto at = [&](std::vector<int>& row, int k) -> int& { return row[static_cast<std::size_t>(k + nOffset)]; };
    std::vector<std::vector<int>> trace;  // v after each round d, for k in [-d, d]
    int nFound = -1;
    for (int d = 0; d <= nMax && nFound < 0; ++d) {
        for (int k = -d; k <= d; k += 2) {
            const bool bDown = k == -d || (k != d && at(v, k - 1) < at(v, k + 1));
            int x = bDown ? at(v, k + 1) : at(v, k - 1) + 1;
            int y = x - k;
            while (x < n && y < m && a[static_cast<std::size_t>(x)] == b[static_cast<std::size_t>(y)]) {
                ++x;
                ++y;
            }
            at(v, k) = x;
            if (x >= n && y >= m)
                nFound = d;
        }
        trace.emplace_back(v.begin() + (nOffset - d), v.begin() + (nOffset + d + 1));
    }
    if (nFound < 0)
        return {};

    std::vector<Op> ops;
    int x = n, y = m;
    for (int d = nFound; d > 0; --d) {
        const std::vector<int>& prev = trace[static_cast<std::size_t>(d - 1)];
        auto prevAt = [&](int k) { return prev[static_cast<std::size_t>(k + d - 1)]; };
        const int k = x - y;
        const bool bDown = k == -d || (k != d && prevAt(k - 1) < prevAt(k + 1));
        const int nPrevK = bDown ? k + 1 : k - 1;
        const int nPrevX = prevAt(nPrevK);
        const int nPrevY = nPrevX - nPrevK;
        const int nMidX = bDown ? nPrevX : nPrevX + 1;
        while (x > nMidX) {
            ops.push_back(Op::Equal);
            --x;
            --y;
        }
        ops.push_back(bDown ? Op::Insert : Op::Delete);
        x = nPrevX;
        y = nPrevY;
    }
    while (x > 0) {
        ops.push_back(Op::Equal);
        --x;
    }
    std::reverse(ops.begin(), ops.end());
    return ops;
}

std::vector<Op> EditScript(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b)
{
    // The common start and end cost nothing to find and keep the search small.
    std::size_t nHead = 0;
    while (nHead < a.size() && nHead < b.size() && a[nHead] == b[nHead])
        ++nHead;
    std::size_t nTail = 0;
    while (nTail < a.size() - nHead && nTail < b.size() - nHead && a[a.size() - 1 - nTail] == b[b.size() - 1 - nTail])
        ++nTail;
    const std::vector<std::string_view> midA(a.begin() + static_cast<std::ptrdiff_t>(nHead),
                                             a.end() - static_cast<std::ptrdiff_t>(nTail));
    const std::vector<std::string_view> midB(b.begin() + static_cast<std::ptrdiff_t>(nHead),
                                             b.end() - static_cast<std::ptrdiff_t>(nTail));
    std::vector<Op> mid = ShortestEdit(midA, midB);
    if (mid.empty() && !(midA.empty() && midB.empty())) {
        mid.assign(midA.size(), Op::Delete);
        mid.insert(mid.end(), midB.size(), Op::Insert);
    }
    std::vector<Op> ops(nHead, Op::Equal);
    ops.insert(ops.end(), mid.begin(), mid.end());
    ops.insert(ops.end(), nTail, Op::Equal);
    return ops;
}

std::string Range(std::size_t nStart, std::size_t nCount)
{
    // An empty range names the line before it, as diff does.
    const std::size_t nFirst = nCount == 0 ? nStart : nStart + 1;
    return nCount == 1 ? std::to_string(nFirst) : std::to_string(nFirst) + "," + std::to_string(nCount);
}

template <typename Escape>
std::string Diff(std::string_view before, std::string_view after, std::string_view beforeLabel,
                 std::string_view afterLabel, Escape escape)
{
    if (before == after)
        return {};
    const std::vector<std::string_view> a = SplitLines(before), b = SplitLines(after);
    const std::vector<Op> ops = EditScript(a, b);
    // Where each op stands in a and in b.
    std::vector<std::size_t> posA(ops.size() + 1), posB(ops.size() + 1);
    for (std::size_t i = 0; i < ops.size(); ++i) {
        posA[i + 1] = posA[i] + (ops[i] != Op::Insert ? 1 : 0);
        posB[i + 1] = posB[i] + (ops[i] != Op::Delete ? 1 : 0);
    }
    std::string out = "--- " + escape(beforeLabel) + "\n+++ " + escape(afterLabel) + "\n";
    auto line = [&](char cMark, std::string_view text) {
        const bool bEnded = !text.empty() && text.back() == '\n';
        out += cMark;
        out += escape(bEnded ? text.substr(0, text.size() - 1) : text);
        out += '\n';
        if (!bEnded)
            out += "\\ No newline at end of file\n";
    };

    std::size_t i = 0;
    while (i < ops.size()) {
        while (i < ops.size() && ops[i] == Op::Equal)
            ++i;
        if (i == ops.size())
            break;
        // A hunk: this change, and every next one that lies within twice the context.
        const std::size_t nStart = i >= kContext ? i - kContext : 0;
        std::size_t nLastChange = i;
        for (std::size_t j = i + 1; j < ops.size(); ++j) {
            if (ops[j] == Op::Equal)
                continue;
            if (j - nLastChange - 1 > 2 * kContext)
                break;
            nLastChange = j;
        }
        const std::size_t nEnd = std::min(ops.size(), nLastChange + 1 + kContext);
        out += "@@ -" + Range(posA[nStart], posA[nEnd] - posA[nStart]) + " +"
               + Range(posB[nStart], posB[nEnd] - posB[nStart]) + " @@\n";
        for (std::size_t j = nStart; j < nEnd;) {
            if (ops[j] == Op::Equal) {
                line(' ', a[posA[j]]);
                ++j;
                continue;
            }
            // A run of changes: what goes first, then what comes.
            std::size_t nRunEnd = j;
            while (nRunEnd < nEnd && ops[nRunEnd] != Op::Equal)
                ++nRunEnd;
            for (std::size_t r = j; r < nRunEnd; ++r) {
                if (ops[r] == Op::Delete)
                    line('-', a[posA[r]]);
            }
            for (std::size_t r = j; r < nRunEnd; ++r) {
                if (ops[r] == Op::Insert)
                    line('+', b[posB[r]]);
            }
            j = nRunEnd;
        }
        i = nEnd;
    }
    return out;
}

}  // namespace

std::string UnifiedDiff(std::string_view before, std::string_view after, std::string_view beforeLabel,
                        std::string_view afterLabel)
{
    return Diff(before, after, beforeLabel, afterLabel, [](std::string_view text) { return std::string(text); });
}

bool IsDiffableText(std::string_view bytes)
{
    for (std::size_t i = 0; i < bytes.size();) {
        if (bytes[i] == '\0')
            return false;
        std::uint32_t codePoint = 0;
        const std::size_t n = Utf8SequenceLength(bytes, i, codePoint);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string DiffForTerminal(std::string_view before, std::string_view after, std::string_view beforeLabel,
                            std::string_view afterLabel)
{
    if (before == after)
        return {};
    if (!IsDiffableText(before) || !IsDiffableText(after)) {
        return "--- " + EscapeForTerminal(beforeLabel) + "\n+++ " + EscapeForTerminal(afterLabel)
               + "\nbinary files differ (" + std::to_string(before.size()) + " bytes, "
               + std::to_string(after.size()) + " bytes)\n";
    }
    return Diff(before, after, beforeLabel, afterLabel, [](std::string_view text) { return EscapeForTerminal(text); });
}
