#include "localize/clsLocalize.h"

#include <array>

namespace tallyquill {

namespace {

struct Row {
    int16_t id;
    const char16_t* en;   // id
    const char16_t* zhs;  // id + 1000
    const char16_t* zht;  // id + 2000
};

constexpr int kFirstId = 800;
constexpr int kLastId = 902;
constexpr int kSimplifiedOffset = 1000;
constexpr int kTraditionalOffset = 2000;

// The texts are kept exactly as shipped, including the misspelling of 802 and
// the simplified characters in some Traditional Chinese rows: screens and
// message boxes must look the same as they always have.
constexpr Row kRows[] = {
    {800, u"Archive to File", u"存档到文件", u"存檔到文件"},
    {801, u"Delete Records", u"删除记录", u"刪除記錄"},
    {802, u"Seperated Records in Daily Log File", u"分离在每天日志文件的记录", u"分离在每天日志文件的記錄"},
    {803, u"Cancel", u"取消", u"取消"},
    {804, u"OK", u"确定", u"确定"},
    {805, u"Action", u"方式", u"方式"},
    {806, u"Archive File Type", u"存档文件类型", u"存檔文件類型"},
    {807, u"Archive Log Records", u"存档日志记录", u"存檔日志記錄"},
    {808, u"Application ID", u"应用程序标识符", u"應用程序標識符"},
    {809, u"Archive On or Before", u"在该时间之前存档", u"在該時間之前存檔"},
    {810, u"Directory", u"路径", u"路徑"},
    {811, u"File Prefix", u"文件前缀", u"文件前綴"},
    {812, u"OK", u"确定", u"确定"},
    {813, u"Select a Directory", u"选择路径", u"選擇路徑"},
    {814, u"Directory", u"路径", u"路徑"},
    {815, u"Log Viewer", u"日志阅读器", u"日志閱讀器"},
    {816, u"Activity", u"行为", u"行為"},
    {817, u"Application ID", u"应用程序标识符", u"應用程序標識符"},
    {818, u"Date Range", u"日期范围", u"日期范圍"},
    {819, u"to", u"到", u"到"},
    {820, u"No of Records Download:", u"下载记录数", u"下載記錄數"},
    {821, u"Event Type", u"事件类型", u"事件類型"},
    {822, u"Time Range", u"时间范围", u"時間范圍"},
    {823, u"Total Records Found:", u"找到记录总数", u"找到記錄總數"},
    {824, u"User Name", u"用户名", u"用戶名"},
    {825, u"WorkStation ID", u"工作站标识符", u"工作站標識符"},
    {826, u"Cancel", u"取消", u"取消"},
    {827, u"OK", u"确定", u"确定"},
    {828, u"Print Logs", u"打印日志", u"打印日志"},
    {829, u"Print to File", u"打印到文件", u"打印到文件"},
    {830, u"Print to Printer", u"打印到打印机", u"打印到打印机"},
    {831, u"Application ID is mandatory", u"应用程序标识符必须填写", u"應用程序標識符必須填寫"},
    {832, u"Error", u"错误", u"錯誤"},
    {833, u"Invalid date", u"无效日期", u"無效日期"},
    {834, u"You must select at least one action", u"必须选择至少一种方式", u"必須選擇至少一种方式"},
    {835, u"File prefix is mandatory", u"文件前缀必须填写", u"文件前綴必須填寫"},
    {836, u"Directory is mandatory", u"路径必须填写", u"路徑必須填寫"},
    {837, u"Filename is mandatory", u"文件名必须填写", u"文件名必須填寫"},
    {838, u"Error in archive record", u"记录存档错误", u"記錄存檔錯誤"},
    {839, u"No file name", u"没有文件名", u"沒有文件名"},
    {840, u"Error in print to file", u"打印到文件错误", u"打印到文件錯誤"},
    {841, u"Error in print to printer", u"打印到打印机错误", u"打印到打印机錯誤"},
    {842, u"Error in create temp file", u"建立临时文件错误", u"建立臨時文件錯誤"},
    {843, u"Error in retrieve records!", u"检索记录错误", u"檢索記錄錯誤"},
    {844, u"No Record Found", u"找不到记录", u"找不到記錄"},
    {845, u"Retrieve Logs", u"检索日志", u"檢索日志"},
    {846, u"Error in retrieve records!", u"检索记录错误", u"檢索記錄錯誤"},
    {847, u"Date range is mandatory", u"日期范围必须填写", u"日期范圍必須填寫"},
    {848, u"No start time", u"没有开始时间", u"沒有開始時間"},
    {849, u"No end time", u"没有结束时间", u"沒有結束時間"},
    {850, u"Invalid date range", u"日期范围无效", u"日期范圍無效"},
    {851, u"Invalid time", u"时间无效", u"時間無效"},
    {852, u"Invalid time range", u"时间范围无效", u"時間範圍無效"},
    {853, u"You must provide AppID and WorkstationID", u"你必须提供应用程序标识符和工作站标识符", u"你必須提供應用程序標識符和工作站標識符"},
    {854, u"No DSN provided", u"没有提供DSN", u"沒有提供DSN"},
    {855, u"Error in retrieve record:", u"检索记录错误：", u"檢索記錄錯誤："},
    {856, u"Print...", u"打印...", u"打印..."},
    {857, u"Retrieve", u"检索", u"檢索"},
    {858, u"Log Filter", u"日志过滤器", u"日志過濾器"},
    {859, u"Date", u"日期", u"日期"},
    {860, u"Time", u"时间", u"時間"},
    {861, u"App ID", u"程序标识", u"程序標識"},
    {862, u"WS ID", u"站标识", u"站標識"},
    {863, u"User", u"用户", u"用戶"},
    {864, u"Event Type", u"事件类型", u"事件類型"},
    {865, u"Activity", u"活动", u"活動"},
    {866, u"File Name", u"文件名", u"文件名"},
    {867, u"Directory", u"路径", u"路徑"},
    {868, u"Archive...", u"存档...", u"存檔..."},
    // The library's own texts; %1 to %3 are filled in by the caller.
    {869, u"Cannot connect to the data source: ", u"无法连接到数据源：", u"無法連接到數據源："},
    {870, u" (register it with tallyquill setup, or list the data sources with odbcinst -q -s)",
     u"（请用 tallyquill setup 登记该数据源，或用 odbcinst -q -s 列出数据源）",
     u"（請用 tallyquill setup 登記該數據源，或用 odbcinst -q -s 列出數據源）"},
    {871, u"Invalid AppID \"%1\": use letters, digits and _ only", u"无效的应用程序标识符“%1”：只能使用字母、数字和 _",
     u"無效的應用程序標識符「%1」：只能使用字母、數字和 _"},
    {872, u"The log viewer needs a graphical application", u"日志阅读器需要图形界面应用程序",
     u"日志閱讀器需要圖形界面應用程序"},
    {873, u"The spool for %1 %2 is full (%3 MB wait for delivery); nothing was written",
     u"%1 %2 的缓存已满（%3 MB 等待传送）；没有写入任何记录", u"%1 %2 的緩存已滿（%3 MB 等待傳送）；沒有寫入任何記錄"},
    {874, u"A record of %1 bytes is too long for the spool", u"%1 字节的记录对缓存来说太长",
     u"%1 位元組的記錄對緩存來說太長"},
    {875, u"The spool directory %1 is not a directory of this user", u"缓存目录 %1 不属于当前用户",
     u"緩存目錄 %1 不屬於當前用戶"},
    {876, u"The spool %1 is damaged", u"缓存 %1 已损坏", u"緩存 %1 已損壞"},
    {877, u"The spool %1 is damaged or not a spool", u"缓存 %1 已损坏或不是缓存文件", u"緩存 %1 已損壞或不是緩存文件"},
    {878,
     u"%1; nothing can be added to it: move it aside (keep it, it may hold records; tallyquill spool status lists "
     u"it) and the next record starts a new spool",
     u"%1；无法再向其中添加记录：请把它移到别处（保留它，其中可能有记录；tallyquill spool status 会列出它），"
     u"下一条记录将开始新的缓存",
     u"%1；無法再向其中添加記錄：請把它移到別處（保留它，其中可能有記錄；tallyquill spool status 會列出它），"
     u"下一條記錄將開始新的緩存"},
    {879, u"The spool %1 belongs to another data source or table", u"缓存 %1 属于另一个数据源或表",
     u"緩存 %1 屬於另一個數據源或表"},
    {880, u"A data source name, table or login of over 255 bytes cannot name a spool",
     u"超过 255 字节的数据源名、表名或登录名不能用来命名缓存", u"超過 255 位元組的數據源名、表名或登錄名不能用來命名緩存"},
    {881, u"Cannot open the spool %1: it keeps being replaced", u"无法打开缓存 %1：它不断被替换",
     u"無法打開緩存 %1：它不斷被替換"},
    {882, u"Cannot create the spool directory %1: %2", u"无法创建缓存目录 %1：%2",
     u"無法創建緩存目錄 %1：%2"},
    {883, u"Cannot open the spool directory %1: %2", u"无法打开缓存目录 %1：%2",
     u"無法打開緩存目錄 %1：%2"},
    {884, u"Cannot make the spool directory private: %1: %2", u"无法将缓存目录设为私有：%1：%2",
     u"無法將緩存目錄設為私有：%1：%2"},
    {885, u"Cannot open the spool %1: %2", u"无法打开缓存 %1：%2",
     u"無法打開緩存 %1：%2"},
    {886, u"Cannot make a spool identifier: %1", u"无法生成缓存标识符：%1",
     u"無法生成緩存標識符：%1"},
    {887, u"Cannot make a spool key: %1", u"无法生成缓存密钥：%1",
     u"無法生成緩存密鑰：%1"},
    {888, u"Cannot create a spool in %1: %2", u"无法在 %1 中创建缓存：%2",
     u"無法在 %1 中創建緩存：%2"},
    {889, u"Cannot create the spool %1: %2", u"无法创建缓存 %1：%2",
     u"無法創建緩存 %1：%2"},
    {890, u"Cannot lock the spool %1: %2", u"无法锁定缓存 %1：%2",
     u"無法鎖定緩存 %1：%2"},
    {891, u"Cannot write the key of %1: %2", u"无法写入 %1 的密钥：%2",
     u"無法寫入 %1 的密鑰：%2"},
    {892, u"Cannot write the delivery mark of %1: %2", u"无法写入 %1 的传送标记：%2",
     u"無法寫入 %1 的傳送標記：%2"},
    {893, u"Cannot read the spool %1: %2", u"无法读取缓存 %1：%2",
     u"無法讀取緩存 %1：%2"},
    {894, u"Cannot cut the torn end of the spool %1: %2", u"无法截去缓存 %1 不完整的结尾：%2",
     u"無法截去緩存 %1 不完整的結尾：%2"},
    {895, u"Cannot write to the spool %1: %2", u"无法写入缓存 %1：%2",
     u"無法寫入緩存 %1：%2"},
    {896, u"Cannot flush the spool %1: %2", u"无法将缓存 %1 写入磁盘：%2",
     u"無法將緩存 %1 寫入磁碟：%2"},
    {897, u"Cannot open %1: %2", u"无法打开 %1：%2",
     u"無法打開 %1：%2"},
    {898, u"Cannot read %1: %2", u"无法读取 %1：%2",
     u"無法讀取 %1：%2"},
    {899, u"Cannot write to %1: %2", u"无法写入 %1：%2",
     u"無法寫入 %1：%2"},
    {900, u"The spool %1 has a damaged delivery mark", u"缓存 %1 的传送标记已损坏",
     u"緩存 %1 的傳送標記已損壞"},
    {901, u"The spool %1 was removed while in use", u"缓存 %1 在使用中被删除",
     u"緩存 %1 在使用中被刪除"},
    {902, u"Cannot write to %1: not a regular file", u"无法写入 %1：不是普通文件",
     u"無法寫入 %1：不是普通檔案"},
};

static_assert(std::size(kRows) == kLastId - kFirstId + 1);

// Rows are addressed by position, so they must stay dense and in id order.
constexpr bool rowsAreDense()
{
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        if (kRows[i].id != kFirstId + static_cast<int>(i))
            return false;
    }
    return true;
}
static_assert(rowsAreDense());

} // namespace

QString LookupString(int id)
{
    int base = id;
    int column = 0;
    if (id >= kTraditionalOffset + kFirstId) {
        base = id - kTraditionalOffset;
        column = 2;
    } else if (id >= kSimplifiedOffset + kFirstId) {
        base = id - kSimplifiedOffset;
        column = 1;
    }
    if (base < kFirstId || base > kLastId)
        return QString();

    const Row& row = kRows[base - kFirstId];
    const char16_t* text = column == 0 ? row.en : column == 1 ? row.zhs : row.zht;
    return QString::fromUtf16(text);
}

} // namespace tallyquill
