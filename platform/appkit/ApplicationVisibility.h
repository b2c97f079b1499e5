#pragma once
// Whether the running application is hidden, the state the desktop framework reports after the
// user hides an application. Linux desktops have no such state for a whole application; the
// nearest is that the user put every window away: the application counts as hidden when at least
// one of its top-level windows is minimized and none is on screen. Closed windows do not count,
// so an application that has shown nothing yet is not hidden.
namespace appkit {

// False without a Qt application. Main thread only.
bool isApplicationHidden();

}  // namespace appkit
