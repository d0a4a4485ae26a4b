#include <libsecret/secret.h>

#include <cstdlib>
#include <filesystem>

#include "core/log.hpp"
#include "platform/secret_store.hpp"

namespace sayloft::platform {

namespace {

// Items match on the two attributes only, whatever schema name another tool stored them with.
const SecretSchema kSchema = {"se.Marrowby.sayloft.Secret",
                              SECRET_SCHEMA_DONT_MATCH_NAME,
                              {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                              0,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

// Errors of the bus itself mean nobody answers (no bus, no provider, a locked keyring).
bool isBusError(const GError* error) {
    return error && (error->domain == G_IO_ERROR || error->domain == G_DBUS_ERROR ||
                     (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED));
}

// Takes ownership of a GError and turns it into a failure, or `unavailable` when nobody answers.
// Then the cached connection to the service is dropped, so the next call finds one that has
// started (or restarted) since.
SecretResult failure(GError* error) {
    const bool unavailable = isBusError(error);
    SecretResult result{unavailable ? SecretStatus::unavailable : SecretStatus::failed,
                        {},
                        error ? error->message : "unknown error"};
    if (error) g_error_free(error);
    if (unavailable) secret_service_disconnect();
    return result;
}

SecretResult noBus() {
    return {SecretStatus::unavailable, {}, "no session bus"};
}

bool sessionBusConfigured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    return runtime && *runtime &&
           std::filesystem::exists(std::filesystem::path(runtime) / "bus", ec);
}

}  // namespace

bool SecretServiceStore::available() {
    // Without a session bus GIO would try to autolaunch one; never start daemons as a side effect.
    if (!sessionBusConfigured()) return false;
    GError* error = nullptr;
    gchar* found =
        secret_password_lookup_sync(&kSchema, nullptr, &error, "service",
                                    "se.Marrowby.sayloft.probe", "account", "probe", nullptr);
    if (found) secret_password_free(found);
    if (!error) return true;
    return failure(error).status != SecretStatus::unavailable;
}

SecretResult SecretServiceStore::read(const std::string& service, const std::string& account) {
    if (!sessionBusConfigured()) return noBus();
    GError* error = nullptr;
    gchar* found = secret_password_lookup_sync(
        &kSchema, nullptr, &error, "service", service.c_str(), "account", account.c_str(), nullptr);
    if (error) return failure(error);
    if (!found) return {SecretStatus::notFound, {}, {}};
    SecretResult result{SecretStatus::ok, found, {}};
    secret_password_free(found);
    return result;
}

SecretResult SecretServiceStore::write(const std::string& service, const std::string& account,
                                       const std::string& value) {
    if (!sessionBusConfigured()) return noBus();
    GError* error = nullptr;
    const std::string label = service + " (" + account + ")";
    // Storing with the same attributes replaces the existing item's secret.
    gboolean stored = secret_password_store_sync(
        &kSchema, SECRET_COLLECTION_DEFAULT, label.c_str(), value.c_str(), nullptr, &error,
        "service", service.c_str(), "account", account.c_str(), nullptr);
    if (error || !stored) return failure(error);
    return {};
}

SecretResult SecretServiceStore::remove(const std::string& service, const std::string& account) {
    if (!sessionBusConfigured()) return noBus();
    GError* error = nullptr;
    gboolean removed = secret_password_clear_sync(
        &kSchema, nullptr, &error, "service", service.c_str(), "account", account.c_str(), nullptr);
    if (error) return failure(error);
    if (!removed) return {SecretStatus::notFound, {}, {}};
    return {};
}

std::shared_ptr<SecretStore> defaultSecretStore() {
    static std::shared_ptr<SecretStore> store = std::make_shared<DesktopSecretStore>(
        std::make_shared<SecretServiceStore>(),
        std::make_shared<FileSecretStore>(FileSecretStore::defaultPath()));
    return store;
}

}  // namespace sayloft::platform
