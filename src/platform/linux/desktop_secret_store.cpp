#include "core/log.hpp"
#include "platform/secret_store.hpp"

namespace sayloft::platform {

namespace {

bool answers(const SecretResult& result) {
    return result.status != SecretStatus::unavailable;
}

}  // namespace

DesktopSecretStore::DesktopSecretStore(std::shared_ptr<SecretStore> keyring,
                                       std::shared_ptr<SecretStore> file)
    : keyring_(std::move(keyring)), file_(std::move(file)) {}

void DesktopSecretStore::noteKeyring(bool answers) {
    if (keyringAnswered_ == int(answers)) return;
    keyringAnswered_ = int(answers);
    if (answers) {
        core::note("secrets", "keeping secrets in the {}", keyring_->describe());
    } else {
        core::note("secrets", "no {} answers; keeping secrets in {}", keyring_->describe(),
                   file_->describe());
    }
}

SecretResult DesktopSecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    SecretResult inKeyring = keyring_->read(service, account);
    noteKeyring(answers(inKeyring));
    SecretResult inFile = file_->read(service, account);
    if (inFile.status == SecretStatus::ok) {
        // Written while no Secret Service answered: newer than anything the keyring holds.
        if (answers(inKeyring)) {
            SecretResult moved = keyring_->write(service, account, inFile.value);
            if (moved.status == SecretStatus::ok) {
                SecretResult removed = file_->remove(service, account);
                if (removed.status == SecretStatus::failed)
                    core::log("secrets", "cannot remove {} from {} after moving it: {}", account,
                              file_->describe(), removed.error);
                else
                    core::log("secrets", "moved {} from {} into the {}", account, file_->describe(),
                              keyring_->describe());
            } else {
                core::log("secrets", "cannot move {} into the {}: {}", account,
                          keyring_->describe(), moved.error);
            }
        }
        return inFile;
    }
    if (inKeyring.status == SecretStatus::ok) return inKeyring;
    if (inFile.status == SecretStatus::failed) return inFile;
    if (inKeyring.status == SecretStatus::failed) return inKeyring;
    return {SecretStatus::notFound, {}, {}};
}

SecretResult DesktopSecretStore::write(const std::string& service, const std::string& account,
                                       const std::string& value) {
    std::lock_guard lock(mutex_);
    SecretResult stored = keyring_->write(service, account, value);
    noteKeyring(answers(stored));
    if (stored.status == SecretStatus::ok) {
        // An older copy left in the file would shadow the new secret on the next read.
        SecretResult removed = file_->remove(service, account);
        if (removed.status == SecretStatus::failed) {
            core::log("secrets", "cannot remove the old {} from {}: {}", account, file_->describe(),
                      removed.error);
            return removed;
        }
        return stored;
    }
    if (stored.status == SecretStatus::failed)
        core::log("secrets", "the {} refused {} ({}); keeping it in {}", keyring_->describe(),
                  account, stored.error, file_->describe());
    return file_->write(service, account, value);
}

SecretResult DesktopSecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    SecretResult fromKeyring = keyring_->remove(service, account);
    noteKeyring(answers(fromKeyring));
    SecretResult fromFile = file_->remove(service, account);
    if (fromKeyring.status == SecretStatus::failed) return fromKeyring;
    if (fromFile.status == SecretStatus::failed) return fromFile;
    if (fromKeyring.status == SecretStatus::ok || fromFile.status == SecretStatus::ok) return {};
    return {SecretStatus::notFound, {}, {}};
}

std::string DesktopSecretStore::describe() const {
    return keyring_->describe() + ", else " + file_->describe();
}

}  // namespace sayloft::platform
