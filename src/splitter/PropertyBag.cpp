#include "splitter/PropertyBag.h"

#include <QStringList>

#include <algorithm>

namespace quillet {

const PropertyBag::Entry* PropertyBag::find(const QString& key) const
{
    for (const auto& e : entries_)
        if (e.first.compare(key, Qt::CaseInsensitive) == 0)
            return &e;
    return nullptr;
}

bool PropertyBag::contains(const QString& key) const
{
    return find(key) != nullptr;
}

void PropertyBag::remove(const QString& key)
{
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& e) {
                                      return e.first.compare(key, Qt::CaseInsensitive) == 0;
                                  }),
                   entries_.end());
}

void PropertyBag::set(const QString& key, const QVariant& value)
{
    for (auto& e : entries_) {
        if (e.first.compare(key, Qt::CaseInsensitive) == 0) {
            e.second = value;
            return;
        }
    }
    entries_.emplace_back(key.toLower(), value);
}

QVariant PropertyBag::value(const QString& key) const
{
    const Entry* e = find(key);
    return e ? e->second : QVariant();
}

QStringList PropertyBag::keys() const
{
    QStringList out;
    for (const auto& e : entries_)
        out << e.first;
    return out;
}

void PropertyBag::writeUnlessDefault(const QString& key, const QVariant& value, bool isDefault)
{
    if (isDefault)
        remove(key);
    else
        set(key, value);
}

void PropertyBag::write(const QString& key, bool value, bool writeDefault)
{
    writeUnlessDefault(key, value, value == writeDefault);
}

void PropertyBag::write(const QString& key, qint32 value, qint32 writeDefault)
{
    writeUnlessDefault(key, value, value == writeDefault);
}

void PropertyBag::write(const QString& key, quint32 value, quint32 writeDefault)
{
    writeUnlessDefault(key, value, value == writeDefault);
}

void PropertyBag::write(const QString& key, float value, float writeDefault)
{
    writeUnlessDefault(key, value, value == writeDefault);
}

bool PropertyBag::read(const QString& key, bool readDefault) const
{
    const Entry* e = find(key);
    if (!e)
        return readDefault;
    if (e->second.typeId() == QMetaType::Bool)
        return e->second.toBool();
    return e->second.toLongLong() != 0;
}

qint32 PropertyBag::read(const QString& key, qint32 readDefault) const
{
    const Entry* e = find(key);
    bool ok = false;
    const qint64 v = e ? e->second.toLongLong(&ok) : 0;
    return ok ? static_cast<qint32>(v) : readDefault;
}

quint32 PropertyBag::read(const QString& key, quint32 readDefault) const
{
    const Entry* e = find(key);
    bool ok = false;
    const qint64 v = e ? e->second.toLongLong(&ok) : 0;
    return ok ? static_cast<quint32>(v) : readDefault;
}

float PropertyBag::read(const QString& key, float readDefault) const
{
    const Entry* e = find(key);
    if (!e)
        return readDefault;
    bool ok = false;
    const float v = e->second.toFloat(&ok);
    return ok ? v : readDefault;
}

QString PropertyBag::toText() const
{
    QString out;
    for (const auto& [key, v] : entries_) {
        QString text;
        switch (v.typeId()) {
        case QMetaType::Bool:
            text = v.toBool() ? QStringLiteral("-1") : QStringLiteral("0");
            break;
        case QMetaType::UInt:
            text = QStringLiteral("&H") + QString::number(v.toUInt(), 16).toUpper();
            break;
        case QMetaType::Float:
            text = QString::number(v.toFloat(), 'g', 9);
            break;
        default:
            text = v.toString();
            break;
        }
        out += key + QStringLiteral(" = ") + text + QLatin1Char('\n');
    }
    return out;
}

bool PropertyBag::fromText(const QString& text)
{
    std::vector<Entry> parsed;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('\'')))
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return false;
        const QString key = line.left(eq).trimmed().toLower();
        const QString val = line.mid(eq + 1).trimmed();
        if (key.isEmpty())
            return false;
        QVariant v;
        bool ok = false;
        if (val.startsWith(QStringLiteral("&H"), Qt::CaseInsensitive)) {
            const quint32 u = val.mid(2).toUInt(&ok, 16);
            v = u;
        } else if (const qint32 i = val.toInt(&ok); ok) {
            v = i;
        } else {
            const float f = val.toFloat(&ok);
            v = f;
        }
        if (!ok)
            return false;
        auto same = std::find_if(parsed.begin(), parsed.end(),
                                 [&](const Entry& e) { return e.first == key; });
        if (same != parsed.end())
            same->second = v;
        else
            parsed.emplace_back(key, v);
    }
    entries_ = std::move(parsed);
    return true;
}

}  // namespace quillet
