#include "EngineTexts.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <algorithm>
#include <vector>

namespace {

struct Pattern {
    const char* source;
    QString prefix;  // the literal text before the first value, a quick first test
    QRegularExpression expression;
    QList<int> values;  // the number of each value, in the English order
    qsizetype literalLength;
};

const QRegularExpression& placeholder() {
    static const QRegularExpression re(QStringLiteral("%([1-9])"));
    return re;
}

// Longest literal text first: "Stopped: Zandrel quit" before "Stopped: %1".
const std::vector<Pattern>& patterns() {
    static const std::vector<Pattern> all = [] {
        std::vector<Pattern> out;
        for (size_t i = 0; i < EngineTexts::kTemplateCount; ++i) {
            Pattern p{EngineTexts::kTemplates[i], {}, {}, {}, 0};
            const QString english = QString::fromUtf8(p.source);
            QString expression;
            qsizetype at = 0;
            for (const QRegularExpressionMatch& m : placeholder().globalMatch(english)) {
                const QString literal = english.mid(at, m.capturedStart() - at);
                if (p.values.isEmpty()) p.prefix = literal;
                expression += QRegularExpression::escape(literal) + QStringLiteral("(.*?)");
                p.literalLength += literal.size();
                p.values << m.captured(1).toInt();
                at = m.capturedEnd();
            }
            if (p.values.isEmpty()) p.prefix = english;
            expression += QRegularExpression::escape(english.mid(at));
            p.literalLength += english.size() - at;
            p.expression = QRegularExpression(QRegularExpression::anchoredPattern(expression),
                                              QRegularExpression::DotMatchesEverythingOption);
            out.push_back(std::move(p));
        }
        std::stable_sort(out.begin(), out.end(),
                         [](const Pattern& a, const Pattern& b) { return a.literalLength > b.literalLength; });
        return out;
    }();
    return all;
}

}  // namespace

QString EngineTexts::translated(const QString& english) { return translated(english, 0); }

QString EngineTexts::translated(const QString& english, int depth) {
    // Values nest a few deep at most ("Stopped: " a reason that quotes ssh).
    if (english.isEmpty() || depth > 3) return english;
    for (const Pattern& p : patterns()) {
        if (!english.startsWith(p.prefix)) continue;
        const QRegularExpressionMatch m = p.expression.match(english);
        if (!m.hasMatch()) continue;
        QStringList values(10);
        for (int i = 0; i < p.values.size(); ++i) values[p.values[i]] = translated(m.captured(i + 1), depth + 1);
        const QString target = QCoreApplication::translate("EngineText", p.source);
        // Filled in one pass, so that a value holding "%2" stays as it is.
        QString out;
        qsizetype at = 0;
        for (const QRegularExpressionMatch& v : placeholder().globalMatch(target)) {
            out += QStringView(target).mid(at, v.capturedStart() - at);
            out += values[v.captured(1).toInt()];
            at = v.capturedEnd();
        }
        return out + target.mid(at);
    }
    return english;
}

QString EngineTexts::translatedJournalLine(const std::string& line) {
    const QString text = QString::fromStdString(line);
    const qsizetype tab = text.indexOf(u'\t');
    return tab < 0 ? text : text.left(tab + 1) + translated(text.mid(tab + 1));
}
