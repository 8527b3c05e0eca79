// Opening the maker's web pages (and any document) in the desktop's browser,
// with the short usage query appended.  Called from the main thread: by the
// command line's /uninstall switch and by the window's menu.  No user
// interface code here.
#pragma once

#include <string>
#include <string_view>

namespace quarn {

// Paths of the pages under the maker's site.
inline constexpr std::string_view kPageProgramWebsite = "quarn/";
inline constexpr std::string_view kPageCheckForUpdates = "quarn/changelog.php";
inline constexpr std::string_view kPageSupportService = "support/";
inline constexpr std::string_view kPageBugReport = "support/";
inline constexpr std::string_view kPageUninstall = "support/uninstall.php";

// The site's scheme and host, ending in "/" (chosen when the program is built).
std::string SiteUrl();

// When the program was installed, in days (local time, as a fraction): the
// last-write time of "uninstall.exe" in the program's own folder, or the
// start time minus 999 days without one.  Fixed at the first call of either
// function; the main sequence calls FixInstallDate before anything else.
double InstallDate();
void FixInstallDate();

// "?prd=quarn&v=1.2.3&d=" and the whole days since InstallDate (truncated
// toward zero).
std::string SiteQuery();
// The same with the days given, for the window's tests and for callers that
// measure time themselves.
std::string SiteQueryForDays(double days_since_install);

// Opens target (a URL or a document) with xdg-open, or with "gio open" when
// xdg-open cannot be started.  Returns at once: the opener runs detached and
// leaves no zombie behind.  Nothing is reported when neither can be started.
void OpenDocument(const std::string& target);

// OpenDocument(SiteUrl() + page + SiteQuery()).
std::string SitePageUrl(std::string_view page);
void OpenSitePage(std::string_view page);

}  // namespace quarn
