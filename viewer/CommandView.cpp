// The command's view verb: a fresh viewer with the command line's setup.

#include "service/Command.h"
#include "viewer/ViewerAdapter.h"

namespace tallyquill::command {

bool ShowViewer(const ViewerSetup& s)
{
    ViewerAdapter viewer;
    viewer.service.source = {s.dsn, s.login, s.password, s.appId};
    if (!s.caption.isEmpty())
        viewer.caption = s.caption;
    if (!s.userTitle.isEmpty())
        viewer.userDesc = s.userTitle;
    if (!s.eventTitle.isEmpty())
        viewer.eventDesc = s.eventTitle;
    if (!s.activityTitle.isEmpty())
        viewer.activityDesc = s.activityTitle;
    viewer.appIdVisible = s.hideAppID ? -1 : 0;
    viewer.wsIdVisible = s.hideWsID ? -1 : 0;
    viewer.userVisible = s.hideUser ? -1 : 0;
    viewer.eventVisible = s.hideEvent ? -1 : 0;
    viewer.firstStartDate = s.firstStartDate;
    viewer.firstEndDate = s.firstEndDate;
    viewer.fillAppID = true;
    return viewer.showLog(true);
}

} // namespace tallyquill::command
