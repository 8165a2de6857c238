#include "core/presets.h"

#include "core/names.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString letter(int output)
{
    return QString(QChar(u'A' + output - 1));
}

std::optional<Preset> readPreset(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    Preset preset;
    preset.id = object.value(QLatin1String("id")).toInt(0);
    preset.name = object.value(QLatin1String("name")).toString();
    const QJsonObject routes = object.value(QLatin1String("routes")).toObject();
    for (auto it = routes.begin(); it != routes.end(); ++it) {
        const QString key = it.key();
        if (key.size() != 1 || key[0] < u'A' || key[0] > u'D' || !it.value().isDouble())
            return std::nullopt;
        preset.routes[key[0].unicode() - u'A' + 1] = it.value().toInt(0);
    }
    if (preset.id < 1 || presetProblem(preset))
        return std::nullopt;
    return preset;
}

} // namespace

std::optional<QString> presetProblem(const Preset &preset)
{
    if (const std::optional<QString> problem = nameProblem(preset.name))
        return QStringLiteral("name: %1").arg(*problem);
    if (preset.routes.empty())
        return QStringLiteral("a preset needs at least one route");
    for (const auto &[output, input] : preset.routes) {
        if (output < 1 || output > 4)
            return QStringLiteral("there is no output %1").arg(output);
        if (input < 1 || input > 4)
            return QStringLiteral("output %1: there is no input %2").arg(letter(output)).arg(input);
    }
    return std::nullopt;
}

PresetStore::PresetStore(QString path)
    : m_file(
        path.isEmpty() ? UserFile::inDataLocation(QStringLiteral("presets.json")) : std::move(path))
{
}

std::vector<Preset> PresetStore::load()
{
    const std::optional<QByteArray> contents = m_file.read();
    if (!contents)
        return {};
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(*contents, &error);
    if (error.error != QJsonParseError::NoError) {
        m_file.markBad(error.errorString());
        return {};
    }
    std::vector<Preset> presets;
    const QJsonArray list = document.object().value(QLatin1String("presets")).toArray();
    for (const QJsonValue &value : list) {
        const std::optional<Preset> preset = readPreset(value);
        const bool twice = preset
            && std::any_of(presets.begin(), presets.end(),
                [&preset](const Preset &p) { return p.id == preset->id; });
        if (!preset || twice || presets.size() >= size_t(Preset::Limit)) {
            m_file.markBad(QStringLiteral("it does not hold a list of valid presets"));
            return {};
        }
        presets.push_back(*preset);
    }
    std::sort(presets.begin(), presets.end(),
        [](const Preset &a, const Preset &b) { return a.id < b.id; });
    return presets;
}

void PresetStore::save(const std::vector<Preset> &presets, UserFile::Done done)
{
    QJsonArray list;
    for (const Preset &preset : presets) {
        QJsonObject routes;
        for (const auto &[output, input] : preset.routes)
            routes.insert(letter(output), input);
        list.append(
            QJsonObject { { "id", preset.id }, { "name", preset.name }, { "routes", routes } });
    }
    m_file.write(QJsonDocument(QJsonObject { { "presets", list } }).toJson(), std::move(done));
}
