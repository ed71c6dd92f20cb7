#pragma once

#include <QByteArray>
#include <QVariant>

#include <vector>

// A map of an answer keyed by identifiers (uid, iid) as decimal text, whose
// values are JSON text that the row mappers write straight into one buffer:
// no variant and no map node per row. Its keys come out sorted as text ("10"
// before "9") and a later value for a key replaces the earlier one, as in the
// QVariantMap it stands for, so the bytes are those of that map.
//
// A value type; usable from any thread.
class JsonMap
{
public:
    // Starts the value of key and returns the buffer to append its JSON text
    // to; the value ends where the next one starts.
    QByteArray &insert(quint32 key);

    // keys, when given, gets the number of distinct keys written.
    QByteArray toJson(int *keys = nullptr) const;
    // The map as a value of the answer map (a CompactJson::Fragment).
    QVariant toVariant(int *keys = nullptr) const;

private:
    struct Entry
    {
        char key[10];
        int keyLength;
        int start;
    };

    // Indexes of the entries in key order, the last one of each key only.
    std::vector<int> ordered() const;

    QByteArray values;
    std::vector<Entry> entries;
};
