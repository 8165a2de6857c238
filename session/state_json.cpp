#include "session/state_json.h"

#include "session/router.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QSysInfo>

QJsonObject stateJson(const Router &router)
{
    const ShownState &shown = router.shown();
    const Names &names = router.names();
    QJsonArray outputs;
    for (int k = 0; k < outputCount(shown.model); ++k) {
        outputs.append(QJsonObject {
            { "output", QString(QLatin1Char(char('A' + k))) },
            { "number", k + 1 },
            { "input", shown.shownInput[k] ? QJsonValue(shown.shownInput[k]) : QJsonValue() },
            { "active", shown.outputLit[k] },
            { "name", names.outputs[k] },
        });
    }
    QJsonArray inputs;
    for (int k = 0; k < 4; ++k) {
        inputs.append(QJsonObject {
            { "input", k + 1 }, { "active", shown.inputLit[k] }, { "name", names.inputs[k] } });
    }
    return QJsonObject {
        { "link",
            QJsonObject {
                { "state", shown.linkUp ? "up" : "searching" },
                { "port", router.port() },
                { "device", router.device() },
            } },
        { "model",
            shown.model == SwitcherModel::FourOutput      ? "4x4"
                : shown.model == SwitcherModel::TwoOutput ? "4x2"
                                                          : "none" },
        { "power", shown.powerOn ? "on" : "standby" },
        { "outputs", outputs },
        { "inputs", inputs },
        { "presets", presetsJson(router) },
    };
}

QJsonObject presetJson(const Router &router, const Preset &preset)
{
    QJsonObject routes;
    for (const auto &[output, input] : preset.routes)
        routes.insert(QString(QLatin1Char(char('A' + output - 1))), input);
    return QJsonObject { { "id", preset.id }, { "name", preset.name }, { "routes", routes },
        { "active", router.presetActive(preset.id) } };
}

QJsonArray presetsJson(const Router &router)
{
    QJsonArray list;
    for (const Preset &preset : router.presets())
        list.append(presetJson(router, preset));
    return list;
}

QString uniqueIdOf(const QString &serialDevice)
{
    return QString::fromLatin1(QCryptographicHash::hash(
        QSysInfo::machineUniqueId() + '\n' + serialDevice.toUtf8(), QCryptographicHash::Sha256)
                                   .left(6)
                                   .toHex()
                                   .toUpper());
}
