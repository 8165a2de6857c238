#include "core/names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>

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
    const QList<uint> characters = name.toUcs4();
    if (characters.size() > Names::MaxLength)
        return QStringLiteral("a name may have at most %1 characters, not %2")
            .arg(Names::MaxLength)
            .arg(characters.size());
    for (const uint c : characters) {
        const QChar::Category category = QChar::category(char32_t(c));
        if (category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph || category == QChar::Other_Surrogate)
            return QStringLiteral("a name may not hold control characters or line breaks");
    }
    return std::nullopt;
}

NameStore::NameStore(QString path)
    : m_path(std::move(path))
{
    if (m_path.isEmpty())
        m_path = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
            + QStringLiteral("/names.json");
}

Names NameStore::load()
{
    Names names;
    QFile file(m_path);
    if (!file.exists())
        return names;
    QString problem;
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
    } else {
        QJsonParseError error {};
        const QJsonDocument document = QJsonDocument::fromJson(file.read(64 * 1024), &error);
        const auto inputs = readNames(document.object().value(QLatin1String(InputsKey)));
        const auto outputs = readNames(document.object().value(QLatin1String(OutputsKey)));
        if (error.error != QJsonParseError::NoError)
            problem = error.errorString();
        else if (!inputs || !outputs)
            problem = QStringLiteral("it does not hold four valid input and four output names");
        else {
            names.inputs = *inputs;
            names.outputs = *outputs;
            return names;
        }
    }
    m_keepBadFile = true;
    qCWarning(lcNames).noquote() << "cannot read the names in" << m_path << "(" + problem + "):"
                                 << "using the default names";
    return names;
}

bool NameStore::save(const Names &names, QString *error)
{
    if (m_keepBadFile) {
        const QString aside = m_path + QStringLiteral(".bad");
        QFile::remove(aside);
        QFile::rename(m_path, aside);
        m_keepBadFile = false;
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QJsonArray inputs;
    QJsonArray outputs;
    for (int k = 0; k < 4; ++k) {
        inputs.append(names.inputs[k]);
        outputs.append(names.outputs[k]);
    }
    QSaveFile file(m_path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(
            QJsonDocument(QJsonObject { { InputsKey, inputs }, { OutputsKey, outputs } }).toJson());
        if (file.commit())
            return true;
    }
    *error = QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString());
    return false;
}
