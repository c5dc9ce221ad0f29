// The device library (nmr/device/kovra_interface.h) that the NMR client
// talks through: loaded at run time from the module's own directory, never
// linked into the module.
#pragma once

#include <stdint.h>

#include "nmr/device/kovra_interface.h"

namespace device_loader {

// The ten functions of the device library.
struct api {
    void (*set_on_closed_callback)(kovra_event_callback);
    void (*set_on_failed_callback)(kovra_event_callback);
    void (*set_on_opened_callback)(kovra_event_callback);
    void (*set_login_response_callback)(kovra_text_callback);
    void (*set_push_task_response_callback)(kovra_text_callback);
    void (*set_task_finished_post_callback)(kovra_text_callback);
    void (*connect_to_server)(const char*, uint16_t);
    int (*request_login)(const char*, const char*);
    int64_t (*push_task_request)(const char*, const char*, const char*, int);
    void (*disconnect_from_server)();
};

// The device library beside this module, loaded once and kept for the
// lifetime of the process. Throws std::runtime_error naming the file when it
// cannot be loaded or lacks one of the functions.
const api& load();

// The library if load() has succeeded, else nullptr: for the callbacks,
// which run on the library's thread and must not load it.
const api* loaded();

}  // namespace device_loader
