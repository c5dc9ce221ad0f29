// The C interface of the device library: callbacks, connection, login, task
// submission and disconnection. The library delivers every callback on a
// thread of its own; texts handed to the callbacks are NUL-terminated JSON
// messages that stay valid only for the duration of the call.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*kovra_event_callback)(void);
typedef void (*kovra_text_callback)(const char* text);

void set_on_closed_callback(kovra_event_callback callback);
void set_on_failed_callback(kovra_event_callback callback);
void set_on_opened_callback(kovra_event_callback callback);
void set_login_response_callback(kovra_text_callback callback);
void set_push_task_response_callback(kovra_text_callback callback);
void set_task_finished_post_callback(kovra_text_callback callback);

// Starts connecting; the outcome arrives as the opened or the failed callback.
void connect_to_server(const char* address, uint16_t port);
// 0 when the request was handed to the connection, non-zero otherwise.
int request_login(const char* username, const char* password);
// -1 when the request could not be sent, any other value otherwise.
int64_t push_task_request(const char* task_name, const char* task_desc, const char* task,
                          int qubits);
// Closes the connection (the closed callback follows if it was open) and
// waits until the library's thread has ended.
void disconnect_from_server(void);

#ifdef __cplusplus
}
#endif
