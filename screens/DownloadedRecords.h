#pragma once

// Every record the viewer screen has downloaded since its last retrieval, in
// display form, with the counters of that retrieval. One set per process: the
// print dialog prints what the screen downloaded.

#include <QStringList>

#include <cstdint>

namespace tallyquill {

struct DownloadedRecords {
    // Entry k (from 1) of each list belongs to the k-th record; entry 0 is unused.
    QStringList Date;       // dd/mm/yyyy
    QStringList Time;       // hh:mm:ss
    QStringList AppID;      // the other five trimmed
    QStringList WsID;
    QStringList UserName;
    QStringList EventType;
    QStringList Activity;

    int32_t TotalRecord = 0;     // found by the retrieval
    int32_t DownloadRecord = 0;  // held in the lists

    // Leaves the lists empty; the counters stay.
    void clearLists();
    // Grows (never shrinks) the lists so that entry `last` exists.
    void growTo(int32_t last);
};

DownloadedRecords& Downloaded();

} // namespace tallyquill
