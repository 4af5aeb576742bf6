// Which top-level navigations of the view stay in it, which go to the default
// browser and which are refused. Pure; used by the navigation handler on the
// UI thread.
#pragma once

#include <string>

enum class NavigationChoice {
    kStayInView,     // every scheme but http and https: the page's own, about:, data:, mailto: …
    kOpenInBrowser,  // the web: cancelled here and handed to the default browser
    kRefuse,         // the page's own virtual host: cancelled, opened nowhere
};

// An address that starts with "http://" or "https://" (exact case) opens in the
// browser unless it is on the page's own virtual host. An address is on that
// host only when "https://<host>" is followed by '/', '?', '#', the end, or a
// port of digits only, so a look-alike such as "https://<host>.attacker.example/"
// or "https://<host>:x@attacker.example/" goes to the browser. The page is
// shown from memory, so no top-level navigation to its host is the program's
// own; letting one load would replace the chat with an error page, and the
// address means nothing outside the program.
NavigationChoice ChooseNavigation(const std::u16string& address, const std::u16string& virtual_host);
