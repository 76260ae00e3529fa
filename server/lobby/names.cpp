#include "server/lobby/names.h"

#include "server/lobby/lobbyrules.h"

#include <QVarLengthArray>

#include <unicode/uspoof.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <iterator>
#include <memory>

namespace names {
namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Default-ignorable code points outside the format category (those are
// refused by category), and the fillers that render as nothing or blank.
constexpr Range kInvisible[] = {
    {0x034F, 0x034F}, {0x115F, 0x1160}, {0x17B4, 0x17B5}, {0x180B, 0x180F}, {0x2800, 0x2800},
    {0x3164, 0x3164}, {0xFE00, 0xFE0F}, {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}, {0xE0000, 0xE0FFF},
};

bool inRanges(char32_t c, const Range* begin, const Range* end)
{
    return std::any_of(begin, end, [c](const Range& r) { return c >= r.first && c <= r.last; });
}

bool invisible(char32_t c)
{
    return QChar::category(c) == QChar::Other_Format ||
           inRanges(c, std::begin(kInvisible), std::end(kInvisible));
}

SkeletonHook skeletonHook = nullptr;

// Opened once; ICU allows concurrent skeleton queries on one checker.
const USpoofChecker* spoofChecker()
{
    static const std::unique_ptr<USpoofChecker, void (*)(USpoofChecker*)> checker(
        [] {
            UErrorCode status = U_ZERO_ERROR;
            USpoofChecker* opened = uspoof_open(&status);
            return U_SUCCESS(status) ? opened : nullptr;
        }(),
        [](USpoofChecker* c) { uspoof_close(c); });
    return checker.get();
}

// Names are short: the passes run in buffers on the stack.
using Units = QVarLengthArray<UChar, 256>;

// Runs an ICU string function from `in` into `out` (preflighting when the
// first guess is short); `in` unchanged if ICU fails.
template <typename Call>
void icu(const Units& in, Units& out, Call call)
{
    out.resize(out.capacity());
    UErrorCode status = U_ZERO_ERROR;
    int32_t written = call(in.data(), static_cast<int32_t>(in.size()), out.data(),
                           static_cast<int32_t>(out.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(written);
        status = U_ZERO_ERROR;
        written = call(in.data(), static_cast<int32_t>(in.size()), out.data(), written, &status);
    }
    if (U_FAILURE(status))
        out = in;
    else
        out.resize(written);
}

void securitySkeleton(const Units& in, Units& out)
{
    const USpoofChecker* checker = spoofChecker();
    if (!checker) {
        out = in;
        return;
    }
    icu(in, out, [checker](const UChar* s, int32_t n, UChar* d, int32_t cap, UErrorCode* e) {
        return uspoof_getSkeleton(checker, 0, s, n, d, cap, e);
    });
}

void upper(const Units& in, Units& out)
{
    icu(in, out, [](const UChar* s, int32_t n, UChar* d, int32_t cap, UErrorCode* e) {
        return u_strToUpper(d, cap, s, n, "", e);
    });
}

void folded(const Units& in, Units& out)
{
    icu(in, out, [](const UChar* s, int32_t n, UChar* d, int32_t cap, UErrorCode* e) {
        return u_strFoldCase(d, cap, s, n, U_FOLD_CASE_DEFAULT, e);
    });
}

} // namespace

void setSkeletonHook(SkeletonHook hook)
{
    skeletonHook = hook;
}

QString skeleton(const QString& name)
{
    if (skeletonHook)
        skeletonHook(name);
    if (name.size() > lobbyrules::maxUnits(lobbyrules::kMaxRoomName))
        return {};
    // Code point by code point, as toUcs4() reads them (a lone surrogate is U+FFFD), without a copy.
    Units visible;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar unit = name.at(i);
        const bool pair = unit.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(unit, name.at(i + 1))
                                : unit.isSurrogate() ? char32_t{0xFFFD} : unit.unicode();
        if (!invisible(c) && !QChar::isSpace(c)) {
            visible.append(pair ? unit.unicode() : static_cast<UChar>(c));
            if (pair)
                visible.append(name.at(i + 1).unicode());
        }
        i += pair ? 1 : 0;
    }
    // Skeletons tell case apart ("M" and "m", which reads as "rn"), and
    // folding first would turn a Greek capital Mu that looks like "M" into a
    // small mu that looks like nothing Latin. So: the skeleton (small look-alikes
    // such as Greek nu for "v"), in capitals (where "I" meets "l"), then folded
    // and once more (where "m" meets "rn"): names that differ in case or look
    // alike in either case share the key.
    Units a;
    Units b;
    securitySkeleton(visible, a);
    upper(a, b);
    securitySkeleton(b, a);
    folded(a, b);
    securitySkeleton(b, a);
    return QString(reinterpret_cast<const QChar*>(a.data()), a.size());
}

QString characterProblem(const QString& name)
{
    // A lone surrogate disappears in the conversion to code points; look at the UTF-16.
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return QStringLiteral("Names cannot contain broken characters.");
    }
    bool onlyMarks = true;
    for (const char32_t c : name.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return QStringLiteral("Names cannot contain control characters.");
        if (invisible(c))
            return QStringLiteral("Names cannot contain invisible characters.");
        onlyMarks =
            onlyMarks && (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
                          category == QChar::Mark_Enclosing);
    }
    if (onlyMarks && !name.isEmpty())
        return QStringLiteral("Names need at least one letter, digit or symbol.");
    return {};
}

} // namespace names
