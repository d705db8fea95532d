// Owners for ODBC handles: each handle has exactly one owner, which frees it
// once. A connection handle is disconnected before it is freed.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <utility>

#include "data_access/internal/layer_only.h"

namespace quellmark::data_access::sqlserver {

inline constexpr SQLHANDLE kNullHandle = nullptr;

template <SQLSMALLINT Type>
class Handle {
public:
    Handle() noexcept = default;
    explicit Handle(SQLHANDLE handle) noexcept : handle_(handle) {}
    ~Handle() { Reset(); }
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, kNullHandle)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, kNullHandle);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    SQLHANDLE Get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != kNullHandle; }

    void Reset() noexcept {
        if (handle_ != kNullHandle) SQLFreeHandle(Type, std::exchange(handle_, kNullHandle));
    }

private:
    SQLHANDLE handle_ = kNullHandle;
};

using EnvironmentHandle = Handle<SQL_HANDLE_ENV>;
using StatementHandle = Handle<SQL_HANDLE_STMT>;

// A connection handle and whether it is connected.
class ConnectionHandle {
public:
    ConnectionHandle() noexcept = default;
    explicit ConnectionHandle(SQLHANDLE handle) noexcept : handle_(handle) {}
    ~ConnectionHandle() { Reset(); }
    ConnectionHandle(ConnectionHandle&& other) noexcept
        : handle_(std::move(other.handle_)), connected_(std::exchange(other.connected_, false)) {}
    ConnectionHandle& operator=(ConnectionHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::move(other.handle_);
            connected_ = std::exchange(other.connected_, false);
        }
        return *this;
    }

    SQLHANDLE Get() const noexcept { return handle_.Get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
    bool Connected() const noexcept { return connected_; }
    void MarkConnected() noexcept { connected_ = true; }

    void Disconnect() noexcept {
        if (connected_ && handle_) SQLDisconnect(handle_.Get());
        connected_ = false;
    }
    void Reset() noexcept {
        Disconnect();
        handle_.Reset();
    }

private:
    Handle<SQL_HANDLE_DBC> handle_;
    bool connected_ = false;
};

}  // namespace quellmark::data_access::sqlserver
