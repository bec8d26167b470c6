#include "screens/DownloadedRecords.h"

namespace tallyquill {

namespace {

template <typename F>
void forEachList(DownloadedRecords& d, F f)
{
    for (QStringList* list : {&d.Date, &d.Time, &d.AppID, &d.WsID, &d.UserName, &d.EventType, &d.Activity})
        f(*list);
}

} // namespace

void DownloadedRecords::clearLists()
{
    forEachList(*this, [](QStringList& l) {
        l.clear();
        l.squeeze();
    });
}

void DownloadedRecords::growTo(int32_t last)
{
    forEachList(*this, [last](QStringList& l) {
        if (l.size() < qsizetype(last) + 1)
            l.resize(qsizetype(last) + 1);
    });
}

DownloadedRecords& Downloaded()
{
    static DownloadedRecords records;
    return records;
}

} // namespace tallyquill
