// Thin layer over the BSD socket interface: IPv4 TCP client sockets, readiness waits, pending
// byte counts, name resolution and dotted-decimal conversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using Socket = int;
constexpr Socket kInvalidSocket = -1;
constexpr uint32_t kAddressNone = 0xFFFFFFFFu;  // what InetAddr gives for a text that is no address
constexpr size_t kDottedSize = 16;              // "255.255.255.255" and its NUL
constexpr uint32_t kMaxResolvedAddresses = 64;

// Starts the socket layer: a send on a connection the peer has closed must never end the
// process, so SIGPIPE is ignored process-wide (every send also passes MSG_NOSIGNAL). 1 on success.
int SocketStartup();

Socket SocketCreateTcp();  // kInvalidSocket on failure
// Binds to a local IPv4 address (network order) and port (host order); 1 on success.
int SocketBind(Socket s, uint32_t address, uint16_t port);
// Blocking connect to an IPv4 address (network order) and port (host order), giving up after
// timeoutMs milliseconds. 1 when connected.
int SocketConnect(Socket s, uint32_t address, uint16_t port, uint32_t timeoutMs);
int32_t SocketSend(Socket s, const void* data, uint32_t count);  // bytes sent, or -1
int32_t SocketRecv(Socket s, void* data, uint32_t count);        // bytes, 0 at close, -1 on error
// Waits until the socket is readable: 1 readable, 0 time ran out, -1 the wait failed.
int SocketWaitReadable(Socket s, uint32_t timeoutMs);
int SocketPendingBytes(Socket s, uint32_t* count);  // FIONREAD; 1 on success
void SocketShutdownSend(Socket s);
void SocketClose(Socket s);
// The peer's IPv4 address in dotted form (out holds kDottedSize bytes); 1 on success.
int SocketPeerAddress(Socket s, char* out, size_t size);
// The error number of the calling thread's latest failed socket call.
uint32_t SocketLastError();

// inet_addr: a dotted-decimal text to an IPv4 address in network order, kAddressNone when it is
// not one.
uint32_t InetAddr(const char* dotted);
void FormatDotted(uint32_t address, char* out, size_t size);  // network-order address to text
int LocalHostName(char* out, size_t size);                    // 1 on success

// Resolves a host name to its IPv4 addresses (network order) in the resolver's order; 1 when at
// least one address came back.
int ResolveIPv4(const char* name, uint32_t* addresses, uint32_t room, uint32_t* count);

// Tests replace the resolver so that one name can give several addresses without touching the
// machine's name service. nullptr restores the real resolver.
using ResolverFn = int (*)(const char* name, uint32_t* addresses, uint32_t room, uint32_t* count);
void SetResolverForTests(ResolverFn fn);

// Tests make chosen calls fail: the hook is asked before each readiness wait, pending count and
// receive, and a non-zero answer is the error number with which the call then fails.
enum class SocketCall { kWaitReadable, kPendingBytes, kRecv };
using SocketFaultFn = uint32_t (*)(SocketCall call);
void SetSocketFaultForTests(SocketFaultFn fn);

// Tests see every connect attempt: address in network order, port in host order.
using ConnectObserverFn = void (*)(uint32_t address, uint16_t port);
void SetConnectObserverForTests(ConnectObserverFn fn);

}  // namespace platform
