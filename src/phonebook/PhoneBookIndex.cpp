#include "PhoneBookIndex.h"

#include "Cp1252.h"
#include "NumberMatcher.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#if defined(Q_OS_UNIX)
#include <sys/stat.h>
#endif

namespace {

constexpr int kLinesPerRecord = 4;
// A change within this long of a parse may share the modification time of
// the file that was parsed (FAT keeps 2 s, others 1 s or a clock tick).
constexpr qint64 kUnsettledNs = 3'000'000'000;

// What identifies one version of the file without reading it.
struct FileStamp
{
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 inode = 0;
    quint64 device = 0;
    bool operator==(const FileStamp&) const = default;
};

enum class StampResult { Ok, Missing, Failed };

StampResult Stamp(const QString& path, FileStamp* stamp)
{
#if defined(Q_OS_UNIX)
    struct stat st;
    if (stat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? StampResult::Missing : StampResult::Failed;
    if (!S_ISREG(st.st_mode))
        return StampResult::Failed;
    stamp->size = qint64(st.st_size);
    stamp->modifiedNs = qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    stamp->changedNs = qint64(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    stamp->inode = quint64(st.st_ino);
    stamp->device = quint64(st.st_dev);
    return StampResult::Ok;
#else
    const QFileInfo info(path);
    if (!info.exists())
        return StampResult::Missing;
    if (!info.isFile())
        return StampResult::Failed;
    stamp->size = info.size();
    stamp->modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1'000'000;
    stamp->changedNs = info.metadataChangeTime().toMSecsSinceEpoch() * 1'000'000;
    stamp->inode = quint64(info.birthTime().toMSecsSinceEpoch());
    return StampResult::Ok;
#endif
}

struct Cache
{
    QString path; // absolute: the working directory may change
    FileStamp stamp;
    bool settled = false;
    std::shared_ptr<const CPhoneBookIndex> index;
};

Cache g_cache;      // user-interface thread only
int g_parseCount = 0; // user-interface thread only

} // namespace

CPhoneBookIndex::CPhoneBookIndex(QByteArray bytes) : m_bytes(std::move(bytes))
{
    const char* const begin = m_bytes.constData();
    const char* p = begin;
    const char* const end = p + std::min<qsizetype>(m_bytes.size(), std::numeric_limits<uint32_t>::max());
    Lines record;
    int field = 0;
    while (p < end) {
        const char* eol = static_cast<const char*>(memchr(p, '\n', size_t(end - p)));
        const char* lineEnd = eol ? eol : end;
        const char* textEnd = (eol && lineEnd > p && lineEnd[-1] == '\r') ? lineEnd - 1 : lineEnd;
        record.fields[field] = {uint32_t(p - begin), uint32_t(textEnd - p)};
        if (++field == kLinesPerRecord) {
            m_records.push_back(record);
            record = Lines();
            field = 0;
        }
        p = eol ? eol + 1 : end;
    }
    if (field > 0)
        m_records.push_back(record); // a short last record: the rest stays empty
}

std::string_view CPhoneBookIndex::View(const Line& line) const
{
    return std::string_view(m_bytes.constData() + line.offset, line.length);
}

PhoneBookRecord CPhoneBookIndex::Record(int index) const
{
    const auto field = [&](int n) {
        const std::string_view text = View(m_records[size_t(index)].fields[n]);
        return cp1252::Decode(QByteArray::fromRawData(text.data(), qsizetype(text.size())));
    };
    return {field(0), field(1), field(2), field(3)};
}

int CPhoneBookIndex::FindExact(const QString& key) const
{
    // The file's lines decode to characters that all encode again; a key
    // holding any other character equals none of them.
    if (!std::all_of(key.cbegin(), key.cend(), cp1252::CanEncode))
        return -1;
    const QByteArray bytes = cp1252::Encode(key);
    const std::string_view wanted(bytes.constData(), size_t(bytes.size()));
    if (m_exactLookups++ == 0) {
        for (size_t i = 0; i < m_records.size(); ++i)
            if (View(m_records[i].fields[0]) == wanted || View(m_records[i].fields[1]) == wanted)
                return int(i);
        return -1;
    }
    if (m_firstByLine.empty() && !m_records.empty()) {
        m_firstByLine.reserve(m_records.size() * 2);
        // Record by record, its number before its name: the first line that
        // equals a key decides, as a walk through the file would.
        for (size_t i = 0; i < m_records.size(); ++i) {
            m_firstByLine.try_emplace(View(m_records[i].fields[0]), int(i));
            m_firstByLine.try_emplace(View(m_records[i].fields[1]), int(i));
        }
    }
    const auto it = m_firstByLine.find(wanted);
    return it == m_firstByLine.end() ? -1 : it->second;
}

int CPhoneBookIndex::FindCleanNumber(const QStringList& cleanNumbers) const
{
    std::vector<std::string> wanted;
    for (const QString& number : cleanNumbers)
        wanted.push_back(number.toLatin1().toStdString());
    const auto clean = [this](size_t i, std::string* out) {
        out->clear();
        for (char c : View(m_records[i].fields[0]))
            if (!CNumberMatcher::IsSeparator(QChar(uchar(c))))
                *out += c;
    };
    std::string number;
    if (m_cleanLookups++ == 0) {
        for (size_t i = 0; i < m_records.size(); ++i) {
            clean(i, &number);
            if (std::find(wanted.begin(), wanted.end(), number) != wanted.end())
                return int(i);
        }
        return -1;
    }
    if (m_firstByCleanNumber.empty() && !m_records.empty()) {
        m_firstByCleanNumber.reserve(m_records.size());
        for (size_t i = 0; i < m_records.size(); ++i) {
            clean(i, &number);
            m_firstByCleanNumber.try_emplace(number, int(i));
        }
    }
    int first = -1;
    for (const std::string& form : wanted) {
        const auto it = m_firstByCleanNumber.find(form);
        if (it != m_firstByCleanNumber.end() && (first < 0 || it->second < first))
            first = it->second;
    }
    return first;
}

std::shared_ptr<const CPhoneBookIndex> CPhoneBookIndex::ForFile(const QString& path, recordfile::ReadStatus* status)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    FileStamp before;
    switch (Stamp(absolute, &before)) {
    case StampResult::Missing:
        g_cache = Cache();
        *status = recordfile::ReadStatus::Missing;
        return nullptr;
    case StampResult::Failed:
        g_cache = Cache();
        *status = recordfile::ReadStatus::Failed;
        return nullptr;
    case StampResult::Ok:
        break;
    }
    if (g_cache.index && g_cache.settled && g_cache.path == absolute && g_cache.stamp == before) {
        *status = recordfile::ReadStatus::Ok;
        return g_cache.index;
    }

    // Taken before the read: a change after it gets a later time.
    const qint64 readNs = QDateTime::currentMSecsSinceEpoch() * 1'000'000;
    QFile file(absolute);
    if (!file.open(QIODevice::ReadOnly) || before.size > qint64(std::numeric_limits<uint32_t>::max())) {
        g_cache = Cache();
        *status = recordfile::ReadStatus::Failed;
        return nullptr;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        g_cache = Cache();
        *status = recordfile::ReadStatus::Failed;
        return nullptr;
    }
    file.close();
    ++g_parseCount;
    auto index = std::make_shared<const CPhoneBookIndex>(std::move(bytes));
    *status = recordfile::ReadStatus::Ok;

    // Kept only when the file did not change while it was read, and counted
    // on without a look inside only once its modification time lies safely
    // before the read: any later write then gives it another time.
    FileStamp after;
    g_cache = Cache();
    if (Stamp(absolute, &after) == StampResult::Ok && after == before && after.size == qint64(index->m_bytes.size())) {
        g_cache.path = absolute;
        g_cache.stamp = after;
        g_cache.index = index;
        g_cache.settled = readNs - after.modifiedNs > kUnsettledNs;
    }
    return index;
}

int CPhoneBookIndex::ParseCount() { return g_parseCount; }
