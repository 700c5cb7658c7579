#pragma once

#include <QString>
#include <QVariant>

#include <utility>
#include <vector>

namespace quillet {

// The settings a host window keeps for each control placed on it, by key.
// Keys are matched without regard to letter case and kept in lower case, in
// the order first written. A value written with a default equal to it is not
// stored (and an entry stored earlier under that key is dropped), so a bag
// holds only what differs from the defaults; reading a key that is not stored
// yields the default given when reading.
class PropertyBag {
public:
    void write(const QString& key, bool value, bool writeDefault);
    void write(const QString& key, qint32 value, qint32 writeDefault);
    void write(const QString& key, quint32 value, quint32 writeDefault);
    void write(const QString& key, float value, float writeDefault);

    bool read(const QString& key, bool readDefault) const;
    qint32 read(const QString& key, qint32 readDefault) const;
    quint32 read(const QString& key, quint32 readDefault) const;
    float read(const QString& key, float readDefault) const;

    // Stores a value under a key whatever its default (the host's own entries,
    // or settings given by hand).
    void set(const QString& key, const QVariant& value);
    bool contains(const QString& key) const;
    void remove(const QString& key);
    void clear() { entries_.clear(); }

    // Stored keys (lower case) in the order first written.
    QStringList keys() const;
    int count() const { return static_cast<int>(entries_.size()); }
    QVariant value(const QString& key) const;

    // One "key = value" line per entry, values as decimal numbers, booleans as
    // -1 and 0, colours and other unsigned values as &H hexadecimal.
    QString toText() const;
    // Reads the text form back; lines that are empty or start with ' are
    // skipped. Returns false (and leaves the bag unchanged) when a line is not
    // of the form key = number.
    bool fromText(const QString& text);

private:
    using Entry = std::pair<QString, QVariant>;
    const Entry* find(const QString& key) const;
    void writeUnlessDefault(const QString& key, const QVariant& value, bool isDefault);
    std::vector<Entry> entries_;
};

}  // namespace quillet
