#include "identity/saved_settings.h"

#include "imagehost/gyazo_client.h"

namespace velmo::identity {

std::string serverBaseURL(const platform::SettingsStore& settings) {
    return settings.stringValue(ServerURLKey).value_or(DefaultServerBaseURL);
}

std::string imageHostURL(const platform::SettingsStore& settings,
                         const std::string& server_base_url) {
    if (auto url = settings.stringValue(GyazoURLKey)) {
        return *url;
    }
    return imagehost::defaultUploadURL(server_base_url);
}

} // namespace velmo::identity
