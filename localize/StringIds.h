#pragma once

// Base ids of the string table, by what the text says or where it shows.
// The Simplified and Traditional Chinese texts sit at +1000 and +2000.

#include <cstdint>

namespace tallyquill::sid {

// Archive dialog
constexpr int16_t ArchiveToFile = 800;
constexpr int16_t DeleteRecords = 801;
constexpr int16_t DailyLogFiles = 802;
constexpr int16_t Cancel = 803;
constexpr int16_t OK = 804;
constexpr int16_t Action = 805;
constexpr int16_t ArchiveFileType = 806;
constexpr int16_t ArchiveLogRecords = 807;
constexpr int16_t ArchiveAppID = 808;
constexpr int16_t ArchiveOnOrBefore = 809;
constexpr int16_t ArchiveDirectory = 810;
constexpr int16_t FilePrefix = 811;
// Directory chooser
constexpr int16_t ChooserOK = 812;
constexpr int16_t SelectDirectory = 813;
constexpr int16_t ChooserDirectory = 814;
// Log viewer screen
constexpr int16_t LogViewer = 815;
constexpr int16_t Activity = 816;
constexpr int16_t ApplicationID = 817;
constexpr int16_t DateRange = 818;
constexpr int16_t To = 819;
constexpr int16_t RecordsDownloaded = 820;
constexpr int16_t EventType = 821;
constexpr int16_t TimeRange = 822;
constexpr int16_t TotalRecordsFound = 823;
constexpr int16_t UserName = 824;
constexpr int16_t WorkStationID = 825;
// Print dialog
constexpr int16_t PrintCancel = 826;
constexpr int16_t PrintOK = 827;
constexpr int16_t PrintLogs = 828;
constexpr int16_t PrintToFile = 829;
constexpr int16_t PrintToPrinter = 830;
// Messages
constexpr int16_t AppIDMandatory = 831;
constexpr int16_t Error = 832;
constexpr int16_t InvalidDate = 833;
constexpr int16_t NoAction = 834;
constexpr int16_t FilePrefixMandatory = 835;
constexpr int16_t DirectoryMandatory = 836;
constexpr int16_t FilenameMandatory = 837;
constexpr int16_t ArchiveFailed = 838;
constexpr int16_t NoFileName = 839;
constexpr int16_t PrintToFileFailed = 840;
constexpr int16_t PrintToPrinterFailed = 841;
constexpr int16_t TempFileFailed = 842;
constexpr int16_t MoreLogFailed = 843;
constexpr int16_t NoRecordFound = 844;
constexpr int16_t RetrieveLogs = 845;
constexpr int16_t RetrieveFailed = 846;
constexpr int16_t DateRangeMandatory = 847;
constexpr int16_t NoStartTime = 848;
constexpr int16_t NoEndTime = 849;
constexpr int16_t InvalidDateRange = 850;
constexpr int16_t InvalidTime = 851;
constexpr int16_t InvalidTimeRange = 852;
constexpr int16_t NeedAppAndWorkstation = 853;
constexpr int16_t NoDsn = 854;
constexpr int16_t RetrieveRecordError = 855;
// Log viewer screen, continued
constexpr int16_t Print = 856;
constexpr int16_t Retrieve = 857;
constexpr int16_t LogFilter = 858;
constexpr int16_t DateColumn = 859;
constexpr int16_t TimeColumn = 860;
constexpr int16_t AppIDColumn = 861;
constexpr int16_t WsIDColumn = 862;
constexpr int16_t UserColumn = 863;
constexpr int16_t EventColumn = 864;
constexpr int16_t ActivityColumn = 865;
constexpr int16_t FileName = 866;
constexpr int16_t Directory = 867;
constexpr int16_t Archive = 868;

// The library's own texts, added to the messages above or shown alone.
constexpr int16_t CannotConnect = 869;
constexpr int16_t UnknownDsnHint = 870;
constexpr int16_t InvalidAppId = 871;
constexpr int16_t NeedsDisplay = 872;
constexpr int16_t SpoolFull = 873;
constexpr int16_t SpoolRecordTooLong = 874;
constexpr int16_t SpoolNotOwnDirectory = 875;
constexpr int16_t SpoolDamaged = 876;
constexpr int16_t SpoolNotASpool = 877;
constexpr int16_t SpoolMoveAside = 878;
constexpr int16_t SpoolOtherSource = 879;
constexpr int16_t SpoolNameTooLong = 880;
constexpr int16_t SpoolReplaced = 881;
constexpr int16_t SpoolCannotCreateDirectory = 882;
constexpr int16_t SpoolCannotOpenDirectory = 883;
constexpr int16_t SpoolCannotMakePrivate = 884;
constexpr int16_t SpoolCannotOpen = 885;
constexpr int16_t SpoolCannotMakeId = 886;
constexpr int16_t SpoolCannotMakeKey = 887;
constexpr int16_t SpoolCannotCreateIn = 888;
constexpr int16_t SpoolCannotCreate = 889;
constexpr int16_t SpoolCannotLock = 890;
constexpr int16_t SpoolCannotWriteKey = 891;
constexpr int16_t SpoolCannotWriteMark = 892;
constexpr int16_t SpoolCannotRead = 893;
constexpr int16_t SpoolCannotCut = 894;
constexpr int16_t SpoolCannotWrite = 895;
constexpr int16_t SpoolCannotFlush = 896;
constexpr int16_t CannotOpenFile = 897;
constexpr int16_t CannotReadFile = 898;
constexpr int16_t CannotWriteFile = 899;
constexpr int16_t SpoolDamagedMark = 900;
constexpr int16_t SpoolRemoved = 901;
constexpr int16_t NotARegularFile = 902;
// The first id after the table's last.
constexpr int16_t EndOfTable = 903;

} // namespace tallyquill::sid
