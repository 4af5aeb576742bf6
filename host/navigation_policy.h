// Which top-level navigations of the view stay in it and which go to the
// default browser. Pure; used by the navigation handler on the UI thread.
#pragma once

#include <string>

// True for an address that the default browser should open instead of the
// view: one that starts with "http://" or "https://" (exact case) and is not
// on the page's own virtual host. An address stays on the virtual host only
// when the host name is followed by '/', '?', '#', the end, or a port of
// digits only, so a look-alike such as "https://<host>.attacker.example/" or
// "https://<host>:x@attacker.example/" goes outside.
// Every other scheme (the page's own, about:, data:, mailto: …) stays.
bool OpensOutside(const std::u16string& address, const std::u16string& virtual_host);
