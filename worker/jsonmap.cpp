#include "jsonmap.h"

#include "compactjson.h"

#include <algorithm>
#include <charconv>
#include <cstring>

QByteArray &JsonMap::insert(quint32 key)
{
    Entry entry;
    entry.keyLength = int(std::to_chars(entry.key, entry.key + sizeof entry.key, key).ptr - entry.key);
    entry.start = values.size();
    entries.push_back(entry);
    return values;
}

std::vector<int> JsonMap::ordered() const
{
    // Decimal keys are ASCII: byte order is the order of QString's comparison.
    const auto before = [this](int a, int b) {
        const Entry &x = entries[size_t(a)];
        const Entry &y = entries[size_t(b)];
        const int common = std::min(x.keyLength, y.keyLength);
        const int order = std::memcmp(x.key, y.key, size_t(common));
        if (order != 0)
            return order < 0;
        if (x.keyLength != y.keyLength)
            return x.keyLength < y.keyLength;
        return a < b;
    };
    std::vector<int> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    std::sort(order.begin(), order.end(), before);

    const auto sameKey = [this](int a, int b) {
        const Entry &x = entries[size_t(a)];
        const Entry &y = entries[size_t(b)];
        return x.keyLength == y.keyLength && std::memcmp(x.key, y.key, size_t(x.keyLength)) == 0;
    };
    std::vector<int> last;
    last.reserve(order.size());
    for (size_t i = 0; i < order.size(); ++i)
        if (i + 1 == order.size() || !sameKey(order[i], order[i + 1]))
            last.push_back(order[i]);
    return last;
}

QByteArray JsonMap::toJson(int *keys) const
{
    const std::vector<int> order = ordered();
    if (keys)
        *keys = int(order.size());
    QByteArray out;
    out.reserve(values.size() + int(entries.size()) * 14 + 2);
    out.append('{');
    bool first = true;
    for (const int i : order) {
        const Entry &entry = entries[size_t(i)];
        const int end = size_t(i) + 1 < entries.size() ? entries[size_t(i) + 1].start : values.size();
        if (!first)
            out.append(',');
        first = false;
        out.append('"');
        out.append(entry.key, entry.keyLength);
        out.append("\":", 2);
        out.append(values.constData() + entry.start, end - entry.start);
    }
    out.append('}');
    return out;
}

QVariant JsonMap::toVariant(int *keys) const
{
    return QVariant::fromValue(CompactJson::Fragment { toJson(keys) });
}
