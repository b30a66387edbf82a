#pragma once

// Stand-in for the parts of the Win32 ETW and TDH interface that the capture code uses, with
// the same names, fields and call shapes. Error codes are this platform's errno values under
// the Win32 names, so system_error_text gives a meaningful text for them.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

using BOOL = int;
using UCHAR = uint8_t;
using USHORT = uint16_t;
using ULONG = uint32_t;
using LONG = int32_t;
using ULONGLONG = uint64_t;
using LONGLONG = int64_t;
using ULONG64 = uint64_t;
using PBYTE = uint8_t*;
using PVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using TRACEHANDLE = uint64_t;
using PTRACEHANDLE = TRACEHANDLE*;

#define WINAPI
#define TRUE 1
#define FALSE 0

constexpr ULONG ERROR_SUCCESS = 0;
constexpr ULONG ERROR_ACCESS_DENIED = EACCES;
constexpr ULONG ERROR_INVALID_HANDLE = EBADF;
constexpr ULONG ERROR_INVALID_PARAMETER = EINVAL;
constexpr ULONG ERROR_INSUFFICIENT_BUFFER = ENOBUFS;
constexpr ULONG ERROR_ALREADY_EXISTS = EEXIST;
constexpr ULONG ERROR_NOT_FOUND = ENOENT;
constexpr ULONG ERROR_NOT_SUPPORTED = EOPNOTSUPP;
constexpr ULONG ERROR_CANCELLED = ECANCELED;
constexpr ULONG ERROR_BUSY = EBUSY;
constexpr ULONG ERROR_WMI_GUID_NOT_FOUND = ENXIO;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using LPGUID = GUID*;
using LPCGUID = const GUID*;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}
inline bool operator!=(const GUID& a, const GUID& b) {
    return !(a == b);
}
inline BOOL IsEqualGUID(const GUID& a, const GUID& b) {
    return a == b ? TRUE : FALSE;
}

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

struct FILETIME {
    ULONG dwLowDateTime;
    ULONG dwHighDateTime;
};
using LPFILETIME = FILETIME*;

ULONG GetLastError();
void SetLastError(ULONG code);

// Controller.

constexpr ULONG WNODE_FLAG_TRACED_GUID = 0x00020000;
constexpr ULONG EVENT_TRACE_REAL_TIME_MODE = 0x00000100;
constexpr ULONG EVENT_TRACE_FILE_MODE_SEQUENTIAL = 0x00000001;
constexpr ULONG EVENT_TRACE_INDEPENDENT_SESSION_MODE = 0x08000000;
constexpr ULONG EVENT_CONTROL_CODE_DISABLE_PROVIDER = 0;
constexpr ULONG EVENT_CONTROL_CODE_ENABLE_PROVIDER = 1;
constexpr UCHAR TRACE_LEVEL_INFORMATION = 4;

struct WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    ULONG64 HistoricalContext;
    LARGE_INTEGER TimeStamp;
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
};

struct EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    LONG AgeLimit;
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    PVOID LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
};
using PEVENT_TRACE_PROPERTIES = EVENT_TRACE_PROPERTIES*;
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120, "same layout as the Win32 structure");

struct ENABLE_TRACE_PARAMETERS;
using PENABLE_TRACE_PARAMETERS = ENABLE_TRACE_PARAMETERS*;

ULONG StartTraceA(PTRACEHANDLE trace_handle, LPCSTR instance_name,
                  PEVENT_TRACE_PROPERTIES properties);
constexpr ULONG EVENT_TRACE_CONTROL_QUERY = 0;
constexpr ULONG EVENT_TRACE_CONTROL_STOP = 1;
constexpr ULONG EVENT_TRACE_CONTROL_UPDATE = 2;
ULONG ControlTraceA(TRACEHANDLE trace_handle, LPCSTR instance_name,
                    PEVENT_TRACE_PROPERTIES properties, ULONG control_code);
ULONG EnableTraceEx2(TRACEHANDLE trace_handle, LPCGUID provider_id, ULONG control_code, UCHAR level,
                     ULONGLONG match_any_keyword, ULONGLONG match_all_keyword, ULONG timeout,
                     PENABLE_TRACE_PARAMETERS enable_parameters);

// Which sessions enabled a provider.
enum TRACE_QUERY_INFO_CLASS { TraceGuidQueryList, TraceGuidQueryInfo };
constexpr ULONG TRACE_PROVIDER_FLAG_PRE_ENABLE = 0x00000002;
struct TRACE_GUID_INFO {
    ULONG InstanceCount;
    ULONG Reserved;
};
struct TRACE_PROVIDER_INSTANCE_INFO {
    ULONG NextOffset;
    ULONG EnableCount;
    ULONG Pid;
    ULONG Flags;
};
struct TRACE_ENABLE_INFO {
    ULONG IsEnabled;
    UCHAR Level;
    UCHAR Reserved1;
    USHORT LoggerId;
    ULONG EnableProperty;
    ULONG Reserved2;
    ULONGLONG MatchAnyKeyword;
    ULONGLONG MatchAllKeyword;
};
ULONG EnumerateTraceGuidsEx(TRACE_QUERY_INFO_CLASS info_class, PVOID in_buffer, ULONG in_size,
                            PVOID out_buffer, ULONG out_size, ULONG* return_length);
// Consumer.

constexpr ULONG PROCESS_TRACE_MODE_REAL_TIME = 0x00000100;
constexpr ULONG PROCESS_TRACE_MODE_EVENT_RECORD = 0x10000000;
constexpr TRACEHANDLE INVALID_PROCESSTRACE_HANDLE = ~TRACEHANDLE{0};

struct EVENT_DESCRIPTOR {
    USHORT Id;
    UCHAR Version;
    UCHAR Channel;
    UCHAR Level;
    UCHAR Opcode;
    USHORT Task;
    ULONGLONG Keyword;
};

struct EVENT_HEADER {
    USHORT Size;
    USHORT HeaderType;
    USHORT Flags;
    USHORT EventProperty;
    ULONG ThreadId;
    ULONG ProcessId;
    LARGE_INTEGER TimeStamp;
    GUID ProviderId;
    EVENT_DESCRIPTOR EventDescriptor;
    ULONG64 ProcessorTime;
    GUID ActivityId;
};

struct EVENT_RECORD {
    EVENT_HEADER EventHeader;
    ULONG BufferContext;
    USHORT ExtendedDataCount;
    USHORT UserDataLength;
    PVOID ExtendedData;
    PVOID UserData;
    PVOID UserContext;
};
using PEVENT_RECORD = EVENT_RECORD*;

struct EVENT_TRACE_LOGFILEA;
using PEVENT_TRACE_LOGFILEA = EVENT_TRACE_LOGFILEA*;
using PEVENT_TRACE_BUFFER_CALLBACKA = ULONG (*)(PEVENT_TRACE_LOGFILEA logfile);
using PEVENT_RECORD_CALLBACK = void (*)(PEVENT_RECORD event_record);

struct EVENT_TRACE_LOGFILEA {
    LPSTR LogFileName;
    LPSTR LoggerName;
    LONGLONG CurrentTime;
    ULONG BuffersRead;
    ULONG ProcessTraceMode;
    PEVENT_TRACE_BUFFER_CALLBACKA BufferCallback;
    ULONG BufferSize;
    ULONG Filled;
    ULONG EventsLost;
    PEVENT_RECORD_CALLBACK EventRecordCallback;
    ULONG IsKernelTrace;
    PVOID Context;
};

TRACEHANDLE OpenTraceA(PEVENT_TRACE_LOGFILEA logfile);
ULONG ProcessTrace(PTRACEHANDLE handle_array, ULONG handle_count, LPFILETIME start_time,
                   LPFILETIME end_time);
ULONG CloseTrace(TRACEHANDLE trace_handle);

// Trace Data Helper.

struct EVENT_PROPERTY_INFO {
    ULONG Flags;
    ULONG NameOffset;
    USHORT InType;
    USHORT OutType;
    ULONG MapNameOffset;
    USHORT count;
    USHORT length;
    ULONG Reserved;
};

struct TRACE_EVENT_INFO {
    GUID ProviderGuid;
    GUID EventGuid;
    EVENT_DESCRIPTOR EventDescriptor;
    ULONG DecodingSource;
    ULONG ProviderNameOffset;
    ULONG LevelNameOffset;
    ULONG ChannelNameOffset;
    ULONG KeywordsNameOffset;
    ULONG TaskNameOffset;
    ULONG OpcodeNameOffset;
    ULONG EventMessageOffset;
    ULONG ProviderMessageOffset;
    ULONG BinaryXMLOffset;
    ULONG BinaryXMLSize;
    ULONG ActivityIDNameOffset;
    ULONG RelatedActivityIDNameOffset;
    ULONG PropertyCount;
    ULONG TopLevelPropertyCount;
    ULONG Flags;
    EVENT_PROPERTY_INFO EventPropertyInfoArray[1];
};
using PTRACE_EVENT_INFO = TRACE_EVENT_INFO*;

struct PROPERTY_DATA_DESCRIPTOR {
    ULONGLONG PropertyName;
    ULONG ArrayIndex;
    ULONG Reserved;
};
using PPROPERTY_DATA_DESCRIPTOR = PROPERTY_DATA_DESCRIPTOR*;

struct TDH_CONTEXT;
using PTDH_CONTEXT = TDH_CONTEXT*;

ULONG TdhGetEventInformation(PEVENT_RECORD event, ULONG tdh_context_count, PTDH_CONTEXT tdh_context,
                             PTRACE_EVENT_INFO buffer, ULONG* buffer_size);
ULONG TdhGetPropertySize(PEVENT_RECORD event, ULONG tdh_context_count, PTDH_CONTEXT tdh_context,
                         ULONG property_data_count, PPROPERTY_DATA_DESCRIPTOR property_data,
                         ULONG* property_size);
ULONG TdhGetProperty(PEVENT_RECORD event, ULONG tdh_context_count, PTDH_CONTEXT tdh_context,
                     ULONG property_data_count, PPROPERTY_DATA_DESCRIPTOR property_data,
                     ULONG buffer_size, PBYTE buffer);

namespace tarn::net::standin {

// How long a dnstap writer has to finish its handshake, and then each frame it has begun (a
// handshaken writer that sends nothing is never cut), and how often dropped messages are
// summed up in the log. Tests shorten them.
struct DnstapTimes {
    int handshake_ms = 10000;
    int frame_ms = 60000;
    int drop_summary_ms = 60000;
};
DnstapTimes& dnstap_times();

// For tests: a failure code for the next call of each kind (0: none), taken by that call.
struct InjectedFailures {
    std::atomic<ULONG> enable_trace{0};
    std::atomic<ULONG> process_trace{0};
    std::atomic<ULONG> control_update{0};
};
InjectedFailures& injected_failures();
// For tests: consumer handles open now, and CloseTrace calls on a handle not open.
size_t open_trace_handles();
size_t bad_trace_closes();
// For tests: what ETW would count as lost in the running session of that name.
void lose(const char* session_name, ULONG events, ULONG buffers);

}  // namespace tarn::net::standin
