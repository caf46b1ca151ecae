// The service and its connections on the Windows RPC runtime, with the interpreted stubs the
// interface compiler writes from update_service_interface.idl.
#include <windows.h>

#include <rpc.h>
#include <setjmp.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "update_service_interface.h"
#include "updatelib/service/update_service.h"
#include "updatelib/service/update_service_connection.h"

// The stubs' memory hooks: the process heap's plain allocate and free.
extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) {
    return HeapAlloc(GetProcessHeap(), 0, size);
}

extern "C" void __RPC_USER MIDL_user_free(void* block) { HeapFree(GetProcessHeap(), 0, block); }

namespace Tern {
namespace {

// Calls served at once; the runtime's listening threads take them.
constexpr unsigned kMaxConcurrentCalls = 1234;
// No procedure takes inputs: a request carries padding at most.
constexpr unsigned kLargestRequest = 1024;

// The process's started service: the runtime's listening and its registrations are the
// process's, so one service serves at a time. The manager functions reach its provider here.
std::mutex servingMutex;
std::condition_variable callEnded;
UpdateService::Impl* serving = nullptr;
unsigned callsInProgress = 0;
// The runtime keeps an endpoint for the process's lifetime once it was registered.
bool endpointRegistered = false;

}  // namespace

struct UpdateService::Impl {
    UpdateServiceProvider& provider;
    bool started = false;  // both under servingMutex
    bool stopped = false;
};

namespace {

// Runs `use` with the provider of the started service, counted as a call in progress; false,
// without running it, once the service stops waiting for calls.
template <typename Use>
bool WithProvider(Use use) {
    UpdateService::Impl* service;
    {
        std::lock_guard<std::mutex> lock(servingMutex);
        if (!serving) return false;
        service = serving;
        ++callsInProgress;
    }
    use(service->provider);
    std::lock_guard<std::mutex> lock(servingMutex);
    --callsInProgress;
    callEnded.notify_all();
    return true;
}

// A call that reaches the service while it ends fails at its client. Raised where no object
// of this frame needs destruction: the runtime's exception handler unwinds past it.
[[noreturn]] void RefuseCall() {
    RpcRaiseException(RPC_S_SERVER_UNAVAILABLE);
    std::terminate();  // RpcRaiseException does not return
}

// Cut after 64 characters, or at an embedded zero as a C string would be.
void CopyText(const std::string& text, char* target) {
    const size_t length = std::min(std::strlen(text.c_str()), kProgressTextCapacity - 1);
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

// The user a token runs for, as its SID's bytes; empty when it cannot be read.
std::vector<unsigned char> UserOf(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> information(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, information.data(), size, &size)) {
        return {};
    }
    const PSID sid = reinterpret_cast<TOKEN_USER*>(information.data())->User.Sid;
    if (!IsValidSid(sid)) return {};
    const auto* bytes = static_cast<const unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::vector<unsigned char> ProcessUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    return UserOf(UniqueHandle(token).get());
}

// The user of the client's thread, seen by impersonating it for a moment; for a client that
// allows no impersonation, the user of its process.
std::vector<unsigned char> ClientUser(RPC_BINDING_HANDLE binding) {
    HANDLE token = nullptr;
    if (RpcImpersonateClient(binding) == RPC_S_OK) {
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) token = nullptr;
        RpcRevertToSelf();
    }
    unsigned long pid = 0;
    if (!token && I_RpcBindingInqLocalClientPID(binding, &pid) == RPC_S_OK) {
        const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &token)) token = nullptr;
    }
    if (!token) return {};
    return UserOf(UniqueHandle(token).get());
}

// The service reports on the user's own updater: only that user's programs may ask it. (Wine
// calls no security callback: there every local caller is admitted.)
RPC_STATUS RPC_ENTRY AdmitOwnUser(RPC_IF_HANDLE, void* binding) {
    const std::vector<unsigned char> client = ClientUser(binding);
    return !client.empty() && client == ProcessUser() ? RPC_S_OK : RPC_S_ACCESS_DENIED;
}

}  // namespace

UpdateService::UpdateService(UpdateServiceProvider& provider) : impl_(new Impl{provider}) {}

UpdateService::~UpdateService() { WaitForCalls(); }

ServiceStartResult UpdateService::Start() {
    std::lock_guard<std::mutex> lock(servingMutex);
    if (impl_->started) return ServiceStartResult::AlreadyStarted;
    if (serving) return ServiceStartResult::EndpointInUse;
    if (!endpointRegistered) {
        const RPC_STATUS status = RpcServerUseProtseqEpA(
            reinterpret_cast<RPC_CSTR>(const_cast<char*>("ncalrpc")),
            RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
            reinterpret_cast<RPC_CSTR>(const_cast<char*>(kUpdateServiceEndpoint)), nullptr);
        if (status == RPC_S_DUPLICATE_ENDPOINT) return ServiceStartResult::EndpointInUse;
        if (status != RPC_S_OK) return ServiceStartResult::Unusable;
        endpointRegistered = true;
    }
    if (RpcServerRegisterIf2(ServeUpdateService_v1_0_s_ifspec, nullptr, nullptr,
                             RPC_IF_ALLOW_LOCAL_ONLY, kMaxConcurrentCalls, kLargestRequest,
                             AdmitOwnUser) != RPC_S_OK) {
        return ServiceStartResult::Unusable;
    }
    if (RpcServerListen(1, kMaxConcurrentCalls, TRUE) != RPC_S_OK) {
        RpcServerUnregisterIf(ServeUpdateService_v1_0_s_ifspec, nullptr, FALSE);
        return ServiceStartResult::Unusable;
    }
    impl_->started = true;
    serving = impl_.get();
    return ServiceStartResult::Started;
}

// Without the interface every new call fails at once. The listening ends once the calls have:
// Wine's runtime ends it only after every call in progress, this one too when Stop runs
// inside a call, and meanwhile leaves new calls on kept connections unanswered.
void UpdateService::Stop() {
    std::lock_guard<std::mutex> lock(servingMutex);
    if (!impl_->started || impl_->stopped) return;
    impl_->stopped = true;
    RpcServerUnregisterIf(ServeUpdateService_v1_0_s_ifspec, nullptr, FALSE);
}

// The runtime's own wait for calls would block `whileWaiting`, and a call may wait for it: the
// manager functions count their calls instead.
void UpdateService::WaitForCalls(const std::function<void()>& whileWaiting) {
    Stop();
    std::unique_lock<std::mutex> lock(servingMutex);
    if (serving != impl_.get()) return;
    serving = nullptr;
    while (callsInProgress != 0) {
        if (whileWaiting) {
            lock.unlock();
            whileWaiting();
            lock.lock();
        }
        callEnded.wait_for(lock, std::chrono::milliseconds(1));
    }
    lock.unlock();
    RpcMgmtStopServerListening(nullptr);
    // The runtime listens again only after this.
    RpcMgmtWaitServerListen();
}

namespace {

// gcc has no __try: a call into the interpreted client stubs runs under an exception
// registration of its own, whose handler turns the runtime's exception for a failed call into
// its status. Any other exception goes on to the handlers further out.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD registration;  // first: the handler gets its address
    jmp_buf resume;
    volatile DWORD status;
};

EXCEPTION_DISPOSITION __cdecl CatchRpcStatus(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                             void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
        return ExceptionContinueSearch;
    }
    // The runtime raises RPC statuses, Win32 error numbers; faults of the processor and
    // other NTSTATUS codes carry severity bits.
    if (record->ExceptionCode > 0xffff) return ExceptionContinueSearch;
    GuardFrame* guard = static_cast<GuardFrame*>(frame);
    guard->status = record->ExceptionCode;
    // longjmp unwinds the stubs' frames, running their cleanup, and then removes this one.
    longjmp(guard->resume, 1);
}

// Runs `call(context)`; the status of the call's failure, or RPC_S_OK. Nothing between here
// and the stub may need destruction: longjmp skips it.
RPC_STATUS CallGuarded(void (*call)(void*), void* context) {
    GuardFrame guard;
    guard.status = RPC_S_OK;
    if (setjmp(guard.resume) != 0) return guard.status;
    guard.registration.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(CatchRpcStatus);
    guard.registration.Next = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(
        __readfsdword(offsetof(NT_TIB, ExceptionList)));
    __writefsdword(offsetof(NT_TIB, ExceptionList), reinterpret_cast<DWORD>(&guard.registration));
    call(context);
    __writefsdword(offsetof(NT_TIB, ExceptionList),
                   reinterpret_cast<DWORD>(guard.registration.Next));
    return RPC_S_OK;
}

template <typename Call>
RPC_STATUS Guarded(Call& call) {
    return CallGuarded([](void* context) { (*static_cast<Call*>(context))(); }, &call);
}

ServiceError ErrorOf(RPC_STATUS status) {
    switch (status) {
        case RPC_S_SERVER_UNAVAILABLE:
        case RPC_S_UNKNOWN_IF:
        case RPC_S_NOT_LISTENING:
        case RPC_S_SERVER_TOO_BUSY:
        case RPC_S_CALL_FAILED_DNE:
        case RPC_S_CALL_FAILED:
        case EPT_S_NOT_REGISTERED:
            return ServiceError::NotRunning;
        case RPC_S_CALL_CANCELLED:
            return ServiceError::TimedOut;
        default:
            return ServiceError::ProtocolError;
    }
}

platform::Unexpected<ServiceFailure> Failure(RPC_STATUS status) {
    std::string detail = "the RPC runtime answered status " + std::to_string(status);
    if (status == RPC_S_ACCESS_DENIED) detail = "the service refused the call";
    return ServiceFailed(ErrorOf(status), std::move(detail));
}

// A local call has no time limit of the runtime's own: a watch cancels it after the timeout.
class CallWatch {
public:
    explicit CallWatch(std::chrono::milliseconds timeout) {
        HANDLE thread = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                             0, FALSE, DUPLICATE_SAME_ACCESS)) {
            return;
        }
        thread_.reset(thread);
        watch_ = std::thread([this, timeout] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!changed_.wait_for(lock, timeout, [this] { return ended_; })) {
                cancelled_ = RpcCancelThreadEx(thread_.get(), 0) == RPC_S_OK;
            }
        });
    }

    ~CallWatch() { End(); }

    // The call failed for its timeout: whatever status the runtime gave it (Windows answers
    // RPC_S_CALL_CANCELLED, Wine a failed call), it was cancelled here.
    bool Cancelled() {
        End();
        return cancelled_;
    }

private:
    // Before the call's own thread makes another call: a cancel never outlives its call.
    void End() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
        if (watch_.joinable()) watch_.join();
    }

    UniqueHandle thread_;  // the calling thread
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    bool cancelled_ = false;
    std::thread watch_;
};

class RpcrtConnection final : public UpdateServiceConnection {
public:
    RpcrtConnection(RPC_BINDING_HANDLE binding, std::chrono::milliseconds timeout)
        : binding_(binding), timeout_(timeout) {}
    ~RpcrtConnection() override { RpcBindingFree(&binding_); }
    RpcrtConnection(const RpcrtConnection&) = delete;
    RpcrtConnection& operator=(const RpcrtConnection&) = delete;

    ServiceAnswer<int32_t> State() override {
        LONG state = 0;
        auto call = [&] { state = CallGetUpdateState(binding_); };
        const RPC_STATUS status = Watched(call);
        if (status != RPC_S_OK) return Failure(status);
        return static_cast<int32_t>(state);
    }

    ServiceAnswer<int32_t> Result() override {
        LONG result = 0;
        auto call = [&] { result = CallGetUpdateResult(binding_); };
        const RPC_STATUS status = Watched(call);
        if (status != RPC_S_OK) return Failure(status);
        return static_cast<int32_t>(result);
    }

    ServiceAnswer<ProgressSnapshot> Progress() override {
        ProgressSnapshot progress;
        ULONG count = 0;
        ULONG index = 0;
        char url[kProgressTextCapacity] = {};
        char description[kProgressTextCapacity] = {};
        auto call = [&] {
            CallGetUpdateProgress(binding_, &progress.totalBytes, &progress.totalReceived,
                                  &progress.fileBytes, &progress.fileReceived, &count, &index, url,
                                  description);
        };
        const RPC_STATUS status = Watched(call);
        if (status != RPC_S_OK) return Failure(status);
        // The stubs check that each text ends within its array.
        progress.updateCount = count;
        progress.updateIndex = index;
        progress.url = url;
        progress.description = description;
        return progress;
    }

    ServiceAnswer<std::monostate> RequestStop() override {
        auto call = [&] { CallRequestUpdateStop(binding_); };
        const RPC_STATUS status = Watched(call);
        if (status != RPC_S_OK) return Failure(status);
        return std::monostate{};
    }

private:
    template <typename Call>
    RPC_STATUS Watched(Call& call) {
        CallWatch watch(timeout_);
        const RPC_STATUS status = Guarded(call);
        if (status != RPC_S_OK && watch.Cancelled()) return RPC_S_CALL_CANCELLED;
        return status;
    }

    RPC_BINDING_HANDLE binding_;
    std::chrono::milliseconds timeout_;
};

}  // namespace

ServiceAnswer<std::unique_ptr<UpdateServiceConnection>> ConnectToUpdateService(
    std::chrono::milliseconds timeout) {
    RPC_CSTR text = nullptr;
    RPC_STATUS status = RpcStringBindingComposeA(
        nullptr, reinterpret_cast<RPC_CSTR>(const_cast<char*>("ncalrpc")), nullptr,
        reinterpret_cast<RPC_CSTR>(const_cast<char*>(kUpdateServiceEndpoint)), nullptr, &text);
    if (status != RPC_S_OK) return Failure(status);
    RPC_BINDING_HANDLE binding = nullptr;
    status = RpcBindingFromStringBindingA(text, &binding);
    RpcStringFreeA(&text);
    if (status != RPC_S_OK) return Failure(status);
    return std::unique_ptr<UpdateServiceConnection>(new RpcrtConnection(binding, timeout));
}

}  // namespace Tern

// The manager functions the server stubs call, with the binding handle first.
extern "C" LONG __cdecl ServeGetUpdateState(handle_t) {
    LONG state = 0;
    if (!Tern::WithProvider(
            [&](Tern::UpdateServiceProvider& provider) { state = provider.GetUpdateState(); })) {
        Tern::RefuseCall();
    }
    return state;
}

extern "C" LONG __cdecl ServeGetUpdateResult(handle_t) {
    LONG result = 0;
    if (!Tern::WithProvider(
            [&](Tern::UpdateServiceProvider& provider) { result = provider.GetUpdateResult(); })) {
        Tern::RefuseCall();
    }
    return result;
}

extern "C" void __cdecl ServeGetUpdateProgress(handle_t, double* totalBytes, double* totalReceived,
                                               double* fileBytes, double* fileReceived,
                                               ULONG* updateCount, ULONG* updateIndex,
                                               char url[Tern::kProgressTextCapacity],
                                               char description[Tern::kProgressTextCapacity]) {
    if (!Tern::WithProvider([&](Tern::UpdateServiceProvider& provider) {
            const Tern::ProgressSnapshot progress = provider.GetUpdateProgress();
            *totalBytes = progress.totalBytes;
            *totalReceived = progress.totalReceived;
            *fileBytes = progress.fileBytes;
            *fileReceived = progress.fileReceived;
            *updateCount = progress.updateCount;
            *updateIndex = progress.updateIndex;
            Tern::CopyText(progress.url, url);
            Tern::CopyText(progress.description, description);
        })) {
        Tern::RefuseCall();
    }
}

extern "C" void __cdecl ServeRequestUpdateStop(handle_t) {
    if (!Tern::WithProvider(
            [](Tern::UpdateServiceProvider& provider) { provider.RequestUpdateStop(); })) {
        Tern::RefuseCall();
    }
}
