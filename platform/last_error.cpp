#include "platform/last_error.h"

#include <cerrno>
#include <netdb.h>

#include "platform/win_codes.h"

namespace velmora::platform {

namespace {
thread_local uint32_t t_last_error = 0;
}  // namespace

uint32_t GetLastError() { return t_last_error; }

void SetLastError(uint32_t code) { t_last_error = code; }

uint32_t Win32FromErrno(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EEXIST: return kErrorFileExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EXDEV: return kErrorNotSameDevice;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EILSEQ: return kErrorNoUnicodeTranslation;
    case ECANCELED: return kErrorOperationAborted;
    default: return kErrorInvalidParameter;
  }
}

int WsaFromErrno(int err) {
  switch (err) {
    case EINTR: return kWsaEintr;
    case EBADF: return kWsaEbadf;
    case EACCES:
    case EPERM: return kWsaEacces;
    case EFAULT: return kWsaEfault;
    case EINVAL: return kWsaEinval;
    case EMFILE:
    case ENFILE: return kWsaEmfile;
    case EWOULDBLOCK: return kWsaEwouldblock;
    case EINPROGRESS: return kWsaEinprogress;
    case EALREADY: return kWsaEalready;
    case ENOTSOCK: return kWsaEnotsock;
    case EDESTADDRREQ: return kWsaEdestaddrreq;
    case EMSGSIZE: return kWsaEmsgsize;
    case EPROTOTYPE: return kWsaEprototype;
    case ENOPROTOOPT: return kWsaEnoprotoopt;
    case EPROTONOSUPPORT: return kWsaEprotonosupport;
    case ESOCKTNOSUPPORT: return kWsaEsocktnosupport;
    case EOPNOTSUPP: return kWsaEopnotsupp;
    case EPFNOSUPPORT: return kWsaEpfnosupport;
    case EAFNOSUPPORT: return kWsaEafnosupport;
    case EADDRINUSE: return kWsaEaddrinuse;
    case EADDRNOTAVAIL: return kWsaEaddrnotavail;
    case ENETDOWN: return kWsaEnetdown;
    case ENETUNREACH: return kWsaEnetunreach;
    case ENETRESET: return kWsaEnetreset;
    case ECONNABORTED: return kWsaEconnaborted;
    case ECONNRESET:
    case EPIPE: return kWsaEconnreset;
    case ENOBUFS:
    case ENOMEM: return kWsaEnobufs;
    case EISCONN: return kWsaEisconn;
    case ENOTCONN: return kWsaEnotconn;
    case ESHUTDOWN: return kWsaEshutdown;
    case ETOOMANYREFS: return kWsaEtoomanyrefs;
    case ETIMEDOUT: return kWsaEtimedout;
    case ECONNREFUSED: return kWsaEconnrefused;
    case ELOOP: return kWsaEloop;
    case ENAMETOOLONG: return kWsaEnametoolong;
    case EHOSTDOWN: return kWsaEhostdown;
    case EHOSTUNREACH: return kWsaEhostunreach;
    case ENOTEMPTY: return kWsaEnotempty;
    case EUSERS: return kWsaEusers;
    case EDQUOT: return kWsaEdquot;
    case ESTALE: return kWsaEstale;
    case EREMOTE: return kWsaEremote;
    default: return kWsaEinval;
  }
}

int WsaFromGai(int gai_result) {
  switch (gai_result) {
    case 0: return 0;
    case EAI_NONAME: return kWsaHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA: return kWsaNoData;
#endif
    case EAI_AGAIN: return kWsaTryAgain;
    case EAI_FAIL: return kWsaNoRecovery;
    case EAI_FAMILY: return kWsaEafnosupport;
    case EAI_SOCKTYPE: return kWsaEsocktnosupport;
    case EAI_MEMORY: return kWsaEnobufs;
    case EAI_SYSTEM: return WsaFromErrno(errno);
    default: return kWsaNoRecovery;
  }
}

}  // namespace velmora::platform
