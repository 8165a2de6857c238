#include "core/names.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

// The file's own messages are matrix.store's; this is for those who set names.
Q_LOGGING_CATEGORY(lcNames, "matrix.names", QtWarningMsg)

namespace {

const char InputsKey[] = "inputs";
const char OutputsKey[] = "outputs";

// Four valid names, or nothing.
std::optional<std::array<QString, 4>> readNames(const QJsonValue &value)
{
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != 4)
        return std::nullopt;
    std::array<QString, 4> names;
    for (int k = 0; k < 4; ++k) {
        if (!array[k].isString() || nameProblem(array[k].toString()))
            return std::nullopt;
        names[k] = array[k].toString();
    }
    return names;
}

} // namespace

Names::Names()
{
    for (int k = 1; k <= 4; ++k) {
        inputs[k - 1] = defaultInput(k);
        outputs[k - 1] = defaultOutput(k);
    }
}

QString Names::defaultInput(int k)
{
    return QStringLiteral("Input %1").arg(k);
}

QString Names::defaultOutput(int k)
{
    return QStringLiteral("Output %1").arg(QChar(u'A' + (k - 1)));
}

std::optional<QString> nameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("a name must have at least one character");
    // Characters as a reader counts them: a letter outside the BMP is one.
    int characters = 0;
    bool blank = true;
    for (qsizetype k = 0; k < name.size(); ++k) {
        char32_t c = name[k].unicode();
        if (QChar::isHighSurrogate(c) && k + 1 < name.size() && name[k + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(name[k], name[k + 1]);
            ++k;
        } else if (QChar::isSurrogate(c)) {
            return QStringLiteral("a name may not hold half of a surrogate pair");
        }
        ++characters;
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            return QStringLiteral("a name may not hold control characters or line breaks");
        // An override or isolate left open turns around whatever a client
        // shows after the name.
        if ((c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069))
            return QStringLiteral("a name may not hold characters that set the text direction");
        blank = blank && QChar::isSpace(c);
    }
    if (characters > Names::MaxLength)
        return QStringLiteral("a name may have at most %1 characters, not %2")
            .arg(Names::MaxLength)
            .arg(characters);
    if (blank)
        return QStringLiteral("a name must have more than spaces");
    return std::nullopt;
}

NameStore::NameStore(QString path)
    : m_file(path.isEmpty() ? UserFile::inDataLocation(QStringLiteral("names.json")) : path)
{
}

Names NameStore::load()
{
    Names names;
    const std::optional<QByteArray> contents = m_file.read();
    if (!contents)
        return names;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(*contents, &error);
    const auto inputs = readNames(document.object().value(QLatin1String(InputsKey)));
    const auto outputs = readNames(document.object().value(QLatin1String(OutputsKey)));
    if (error.error != QJsonParseError::NoError) {
        m_file.markBad(error.errorString());
    } else if (!inputs || !outputs) {
        m_file.markBad(QStringLiteral("it does not hold four valid input and four output names"));
    } else {
        names.inputs = *inputs;
        names.outputs = *outputs;
    }
    return names;
}

namespace {

QByteArray toJson(const Names &names)
{
    QJsonArray inputs;
    QJsonArray outputs;
    for (int k = 0; k < 4; ++k) {
        inputs.append(names.inputs[k]);
        outputs.append(names.outputs[k]);
    }
    return QJsonDocument(QJsonObject { { InputsKey, inputs }, { OutputsKey, outputs } }).toJson();
}

} // namespace

void NameStore::save(const Names &names, UserFile::Done done)
{
    m_file.write(toJson(names), std::move(done));
}

bool NameStore::save(const Names &names, QString *error)
{
    m_file.write(toJson(names));
    return m_file.flush(error);
}
