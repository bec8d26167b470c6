#pragma once

#include "tallyquill/export.h"
#include "msgbox/MessageBox.h"

#include <QString>

#include <cstdint>

namespace tallyquill {

// The text of `id` (its English text when the table has none), then
// `detail`, in a box titled "Error" in the operator's language.
void ShowError(int16_t id, const QString& english, MsgIcon icon = MsgIcon::Warning, const QString& detail = {});

} // namespace tallyquill
