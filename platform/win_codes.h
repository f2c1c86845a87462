// Numeric error, message and event codes that the library's result codes and texts are built on.
// They keep the values the component's callers know, whatever the host system uses internally.
#pragma once

#include <cstdint>

namespace velmora::platform {

// System error numbers.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorBadFormat = 11;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorNotSameDevice = 17;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorFilenameExcedRange = 206;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorNoUnicodeTranslation = 1113;
constexpr uint32_t kErrorClassAlreadyExists = 1410;
constexpr uint32_t kErrorClassDoesNotExist = 1411;
constexpr uint32_t kErrorInvalidWindowHandle = 1400;
constexpr uint32_t kWaitTimeout = 258;

// Status codes and flags of the crypto modules (NTSTATUS and CryptoAPI values).
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusUnsuccessful = static_cast<int32_t>(0xC0000001u);
constexpr int32_t kStatusInvalidHandle = static_cast<int32_t>(0xC0000008u);
constexpr int32_t kStatusInvalidParameter = static_cast<int32_t>(0xC000000Du);
constexpr int32_t kStatusNotSupported = static_cast<int32_t>(0xC00000BBu);
constexpr uint32_t kNteBadKeyset = 0x80090016u;
constexpr uint32_t kNteFail = 0x80090020u;
constexpr uint32_t kBcryptUseSystemPreferredRng = 0x2;
constexpr uint32_t kProvRsaFull = 1;
constexpr uint32_t kCryptNewKeyset = 0x8;

// Socket error numbers (the component's texts for them are a table of the component base).
constexpr int kWsaEintr = 10004;
constexpr int kWsaEbadf = 10009;
constexpr int kWsaEacces = 10013;
constexpr int kWsaEfault = 10014;
constexpr int kWsaEinval = 10022;
constexpr int kWsaEmfile = 10024;
constexpr int kWsaEwouldblock = 10035;
constexpr int kWsaEinprogress = 10036;
constexpr int kWsaEalready = 10037;
constexpr int kWsaEnotsock = 10038;
constexpr int kWsaEdestaddrreq = 10039;
constexpr int kWsaEmsgsize = 10040;
constexpr int kWsaEprototype = 10041;
constexpr int kWsaEnoprotoopt = 10042;
constexpr int kWsaEprotonosupport = 10043;
constexpr int kWsaEsocktnosupport = 10044;
constexpr int kWsaEopnotsupp = 10045;
constexpr int kWsaEpfnosupport = 10046;
constexpr int kWsaEafnosupport = 10047;
constexpr int kWsaEaddrinuse = 10048;
constexpr int kWsaEaddrnotavail = 10049;
constexpr int kWsaEnetdown = 10050;
constexpr int kWsaEnetunreach = 10051;
constexpr int kWsaEnetreset = 10052;
constexpr int kWsaEconnaborted = 10053;
constexpr int kWsaEconnreset = 10054;
constexpr int kWsaEnobufs = 10055;
constexpr int kWsaEisconn = 10056;
constexpr int kWsaEnotconn = 10057;
constexpr int kWsaEshutdown = 10058;
constexpr int kWsaEtoomanyrefs = 10059;
constexpr int kWsaEtimedout = 10060;
constexpr int kWsaEconnrefused = 10061;
constexpr int kWsaEloop = 10062;
constexpr int kWsaEnametoolong = 10063;
constexpr int kWsaEhostdown = 10064;
constexpr int kWsaEhostunreach = 10065;
constexpr int kWsaEnotempty = 10066;
constexpr int kWsaEproclim = 10067;
constexpr int kWsaEusers = 10068;
constexpr int kWsaEdquot = 10069;
constexpr int kWsaEstale = 10070;
constexpr int kWsaEremote = 10071;
constexpr int kWsaSysNotReady = 10091;
constexpr int kWsaVerNotSupported = 10092;
constexpr int kWsaNotInitialised = 10093;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;
constexpr int kWsaNoData = 11004;

// Window messages.
constexpr uint32_t kWmClose = 0x0010;
constexpr uint32_t kWmQuit = 0x0012;
constexpr uint32_t kWmUser = 0x0400;

// Socket notification events (low word of a notification's lParam; the error is the high word).
constexpr uint32_t kFdRead = 0x01;
constexpr uint32_t kFdWrite = 0x02;
constexpr uint32_t kFdOob = 0x04;
constexpr uint32_t kFdAccept = 0x08;
constexpr uint32_t kFdConnect = 0x10;
constexpr uint32_t kFdClose = 0x20;

}  // namespace velmora::platform
