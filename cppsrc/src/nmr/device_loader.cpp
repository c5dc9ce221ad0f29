#include "nmr/device_loader.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>

#ifndef KOVRA_DEVICE_LIBRARY
#error "KOVRA_DEVICE_LIBRARY must name the device library file"
#endif

namespace device_loader {

namespace {

std::mutex load_mutex;
std::atomic<const api*> loaded_api{nullptr};
const int anchor = 0;  // an address inside this module, for dladdr

template <typename F>
void resolve(void* handle, const std::string& path, const char* name, F*& slot) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        throw std::runtime_error("the device library " + path + " has no function " + name);
    }
    slot = reinterpret_cast<F*>(symbol);
}

}  // namespace

const api& load() {
    if (const api* ready = loaded_api.load()) return *ready;
    std::lock_guard<std::mutex> lock(load_mutex);
    if (const api* ready = loaded_api.load()) return *ready;
    Dl_info info{};
    std::string directory = ".";
    if (dladdr(&anchor, &info) != 0 && info.dli_fname != nullptr) {
        std::string self = info.dli_fname;
        std::size_t slash = self.rfind('/');
        if (slash != std::string::npos) directory = self.substr(0, slash);
    }
    std::string path = directory + "/" + KOVRA_DEVICE_LIBRARY;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        throw std::runtime_error("cannot load the device library " + path + ": " +
                                 (reason != nullptr ? reason : "unknown reason"));
    }
    static api shared;
    api candidate{};
    try {
        resolve(handle, path, "set_on_closed_callback", candidate.set_on_closed_callback);
        resolve(handle, path, "set_on_failed_callback", candidate.set_on_failed_callback);
        resolve(handle, path, "set_on_opened_callback", candidate.set_on_opened_callback);
        resolve(handle, path, "set_login_response_callback", candidate.set_login_response_callback);
        resolve(handle, path, "set_push_task_response_callback", candidate.set_push_task_response_callback);
        resolve(handle, path, "set_task_finished_post_callback", candidate.set_task_finished_post_callback);
        resolve(handle, path, "connect_to_server", candidate.connect_to_server);
        resolve(handle, path, "request_login", candidate.request_login);
        resolve(handle, path, "push_task_request", candidate.push_task_request);
        resolve(handle, path, "disconnect_from_server", candidate.disconnect_from_server);
    } catch (...) {
        dlclose(handle);
        throw;
    }
    shared = candidate;
    loaded_api = &shared;
    return shared;
}

const api* loaded() { return loaded_api.load(); }

}  // namespace device_loader
