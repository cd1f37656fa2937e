// The pure rules of the share program's settings: the limits applied when values are loaded
// from and saved to the registry, the login clamps, and the login comparison. The registry
// side lives in HSMainSettings.cpp; keeping these here lets them run under the sanitizers.
#pragma once
#include <cstddef>
#include <cstdint>

// Byte and character limits of the stored values.
constexpr size_t kAddressLoadBytes = 1000;       // ServerAddress, LocalAddress
constexpr size_t kAddressSaveUnits = 495;
constexpr size_t kAddressTextCapacity = 512;         // in-memory buffers, terminator included
constexpr size_t kUserNameLoadBytes = 506;
constexpr size_t kUserNameSaveUnits = 250;
constexpr size_t kUserNameCapacity = 256;
constexpr size_t kLoginMaxBytes = 500;           // LoginUser, LoginPassword
constexpr size_t kLoginCapacity = kLoginMaxBytes + 1;
constexpr size_t kUploadsDirectoryMaxUnits = 32000;
constexpr uint32_t kLocalIPIndexMax = 1000;
constexpr uint32_t kMinimizeFunctionCount = 3;   // 0 to tray, 1 close to tray, 2 no tray icon

// SharePort keeps the low 16 bits of what is stored.
uint16_t sharePortFromStored(uint32_t stored);
// LocalIPIndex outside 0..1000 loads as 0.
uint32_t localIPIndexFromStored(uint32_t stored);
// MinimizeFunction of 3 or more is ignored: current (the default) stays.
uint32_t minimizeFunctionFromStored(uint32_t stored, uint32_t current);

// Length of a login value: the bytes up to the first zero byte, at most kLoginMaxBytes.
size_t loginLength(const char* bytes, size_t size);
// Stores a login value clamped to 0..500 bytes (stopping at a zero byte, as loading would)
// and terminated; out holds kLoginCapacity bytes. Returns the stored length.
size_t clampLogin(const char* bytes, size_t size, char* out);

// Code units of a UTF-16 registry text before its first NUL within the bytes returned.
size_t textLengthFromStored(const char16_t* text, size_t bytesReturned);

// Basic credentials against the stored login: an empty stored user (or password) accepts
// any user (or password); otherwise length and bytes must agree exactly (case-sensitive).
bool loginMatches(const char* storedUser, size_t storedUserLength, const char* storedPassword,
                  size_t storedPasswordLength, const char* user, size_t userLength,
                  const char* password, size_t passwordLength);
