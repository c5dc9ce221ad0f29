// The device library without a device: calls out of order, unreachable
// servers and callbacks that throw must neither crash nor hang.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "nmr/device/kovra_interface.h"

namespace {

std::mutex mutex;
std::condition_variable changed;
int failed = 0, opened = 0, closed = 0;

void on_failed() {
    std::lock_guard<std::mutex> lock(mutex);
    ++failed;
    changed.notify_all();
}
void on_opened() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++opened;
        changed.notify_all();
    }
    throw std::runtime_error("a callback that throws");
}
void on_closed() {
    std::lock_guard<std::mutex> lock(mutex);
    ++closed;
    changed.notify_all();
}

bool wait_for(const int& counter, int value) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return counter >= value; });
}

// A listening loopback socket; returns its port.
int listen_socket(int* fd) {
    *fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(*fd, 4);
    socklen_t size = sizeof address;
    getsockname(*fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

class DeviceLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        set_on_failed_callback(&on_failed);
        set_on_opened_callback(&on_opened);
        set_on_closed_callback(&on_closed);
        failed = opened = closed = 0;
    }
    void TearDown() override { disconnect_from_server(); }
};

}  // namespace

TEST_F(DeviceLibrary, RequestsWithoutConnectionFail) {
    disconnect_from_server();
    EXPECT_NE(request_login("u", "p"), 0);
    EXPECT_EQ(push_task_request("t", "", "{}", 1), -1);
    EXPECT_EQ(push_task_request(nullptr, nullptr, nullptr, 1), -1);
}

TEST_F(DeviceLibrary, UnreachableServerReportsFailure) {
    int fd;
    int port = listen_socket(&fd);
    close(fd);  // nothing listens there any more
    connect_to_server("127.0.0.1", static_cast<uint16_t>(port));
    ASSERT_TRUE(wait_for(failed, 1));
    connect_to_server(nullptr, 1);
    ASSERT_TRUE(wait_for(failed, 2));
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(closed, 0);
}

TEST_F(DeviceLibrary, ThrowingCallbackAndPeerClose) {
    int fd;
    int port = listen_socket(&fd);
    connect_to_server("127.0.0.1", static_cast<uint16_t>(port));
    int peer = accept(fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(wait_for(opened, 1));  // the callback threw; the library lives on
    EXPECT_EQ(request_login("u", "p"), 0);
    char buffer[256] = {};
    ssize_t got = recv(peer, buffer, sizeof buffer - 1, 0);
    ASSERT_GT(got, 0);
    EXPECT_STREQ(buffer, "{\"password\":\"p\",\"type\":\"login\",\"username\":\"u\"}\n");
    close(peer);
    ASSERT_TRUE(wait_for(closed, 1));
    disconnect_from_server();  // after the peer closed: no second closed callback
    disconnect_from_server();
    EXPECT_EQ(closed, 1);
    close(fd);
}
