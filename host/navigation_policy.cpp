// The navigation rule: the web goes out, the page's own host is refused.
#include "navigation_policy.h"

namespace {

bool StartsWith(const std::u16string& text, const std::u16string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

NavigationChoice ChooseNavigation(const std::u16string& address, const std::u16string& virtual_host) {
    bool external = StartsWith(address, u"http://") || StartsWith(address, u"https://");
    if (!external) return NavigationChoice::kStayInView;

    const std::u16string own_prefix = u"https://" + virtual_host;
    if (!StartsWith(address, own_prefix)) return NavigationChoice::kOpenInBrowser;
    if (address.size() == own_prefix.size()) return NavigationChoice::kRefuse;
    size_t at = own_prefix.size();
    // A port must be digits only: "https://<host>:x@elsewhere/" names the
    // host as a user name and goes to "elsewhere".
    if (address[at] == u':') {
        ++at;
        while (at < address.size() && address[at] >= u'0' && address[at] <= u'9') ++at;
        if (at == address.size()) return NavigationChoice::kRefuse;
    }
    char16_t after_authority = address[at];
    bool own_host = after_authority == u'/' || after_authority == u'?' || after_authority == u'#';
    return own_host ? NavigationChoice::kRefuse : NavigationChoice::kOpenInBrowser;
}
