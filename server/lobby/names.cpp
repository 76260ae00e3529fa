#include "server/lobby/names.h"

#include <QList>

#include <algorithm>
#include <iterator>

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
    return QChar::category(c) == QChar::Other_Format || inRanges(c, std::begin(kInvisible), std::end(kInvisible));
}

// Letters that look like a Latin letter (after case folding), folded onto it.
struct LookAlike {
    char16_t from;
    char16_t to;
};
constexpr LookAlike kLookAlikes[] = {
    // Cyrillic
    {u'а', u'a'}, {u'в', u'b'}, {u'е', u'e'}, {u'ё', u'e'}, {u'к', u'k'}, {u'м', u'm'}, {u'н', u'h'},
    {u'о', u'o'}, {u'р', u'p'}, {u'с', u'c'}, {u'т', u't'}, {u'у', u'y'}, {u'х', u'x'}, {u'ѕ', u's'},
    {u'і', u'l'}, {u'ї', u'l'}, {u'ј', u'j'}, {u'ԁ', u'd'}, {u'һ', u'h'}, {u'ԛ', u'q'}, {u'ԝ', u'w'},
    {u'ү', u'y'}, {u'ӏ', u'l'}, {u'ɡ', u'g'},
    // Greek
    {u'α', u'a'}, {u'β', u'b'}, {u'ε', u'e'}, {u'η', u'n'}, {u'ι', u'l'}, {u'κ', u'k'}, {u'ν', u'v'},
    {u'ο', u'o'}, {u'ρ', u'p'}, {u'τ', u't'}, {u'υ', u'u'}, {u'χ', u'x'}, {u'ζ', u'z'}, {u'ϲ', u'c'},
    {u'ϳ', u'j'}, {u'γ', u'y'}, {u'μ', u'u'},
    // Latin and digits: I, l, 1 and | read alike, as do O and 0.
    {u'ı', u'l'}, {u'i', u'l'}, {u'1', u'l'}, {u'|', u'l'}, {u'0', u'o'},
};

} // namespace

QString skeleton(const QString& name)
{
    QString visible;
    visible.reserve(name.size());
    for (const char32_t c : name.toUcs4())
        if (!invisible(c) && !QChar::isSpace(c))
            visible.append(QString::fromUcs4(&c, 1));
    QString folded = visible.normalized(QString::NormalizationForm_KC).toCaseFolded();
    for (QChar& c : folded) {
        for (const LookAlike& l : kLookAlikes) {
            if (c.unicode() == l.from) {
                c = QChar(l.to);
                break;
            }
        }
    }
    return folded.normalized(QString::NormalizationForm_KC);
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
        onlyMarks = onlyMarks && (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
                                  category == QChar::Mark_Enclosing);
    }
    if (onlyMarks && !name.isEmpty())
        return QStringLiteral("Names need at least one letter, digit or symbol.");
    return {};
}

} // namespace names
