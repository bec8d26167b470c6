#include "localize/ShowError.h"

#include "localize/StringIds.h"
#include "localize/clsLocalize.h"

namespace tallyquill {

void ShowError(int16_t id, const QString& english, MsgIcon icon, const QString& detail)
{
    ShowMessage(Tr(id, english) + detail, Tr(sid::Error, QStringLiteral("Error")), icon);
}

} // namespace tallyquill
