// What the stop watcher relies on from status-change notifications: an answer
// for a service already stopped, for a stop and for a deletion, delivered as
// a callback in an alertable wait of the thread that asked; a close cancels.
#include "ContractFixture.h"

#include <thread>

namespace {

const wchar_t* const kService = L"TavrilexContractSvc";
constexpr DWORD kGenerousMs = 10000;
constexpr DWORD kStopOrDelete = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_DELETE_PENDING;

struct CAnswer {
    int calls = 0;
    std::thread::id thread;
};

void CALLBACK Answered(PVOID parameter)
{
    auto* answer = static_cast<CAnswer*>(static_cast<SERVICE_NOTIFYW*>(parameter)->pContext);
    ++answer->calls;
    answer->thread = std::this_thread::get_id();
}

// A request record whose callback counts into `answer`.
SERVICE_NOTIFYW Record(CAnswer& answer)
{
    SERVICE_NOTIFYW record{};
    record.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    record.pfnNotifyCallback = Answered;
    record.pContext = &answer;
    return record;
}

// The service opened for its status only, as the watcher opens it, with the
// manager's handle already closed again.
SC_HANDLE OpenForStatus()
{
    CScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return OpenServiceW(manager.Get(), kService, SERVICE_QUERY_STATUS);
}

}  // namespace

TEST_F(ContractTest, StoppedServiceIsAnsweredAtOnceInAnAlertableWaitOfTheAskingThread)
{
    ASSERT_TRUE(contract::AddStoppedService(kService));
    CScHandle service(OpenForStatus());
    ASSERT_NE(service.Get(), nullptr);

    CAnswer answer;
    SERVICE_NOTIFYW record = Record(answer);
    ASSERT_EQ(NotifyServiceStatusChangeW(service.Get(), kStopOrDelete, &record), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(answer.calls, 0) << "answered outside an alertable wait";

    EXPECT_EQ(SleepEx(kGenerousMs, TRUE), DWORD(WAIT_IO_COMPLETION));
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(answer.thread, std::this_thread::get_id());
    EXPECT_EQ(record.dwNotificationStatus, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(record.dwNotificationTriggered, DWORD(SERVICE_NOTIFY_STOPPED));
    EXPECT_EQ(record.ServiceStatus.dwCurrentState, DWORD(SERVICE_STOPPED));
}

TEST_F(ContractTest, StopIsAnsweredAndAClosedHandleIsNot)
{
    ASSERT_TRUE(contract::AddRunningService(kService, SERVICE_ACCEPT_STOP));
    CScHandle kept(OpenForStatus());
    CScHandle closed(OpenForStatus());
    CAnswer keptAnswer;
    CAnswer closedAnswer;
    SERVICE_NOTIFYW keptRecord = Record(keptAnswer);
    SERVICE_NOTIFYW closedRecord = Record(closedAnswer);
    ASSERT_EQ(NotifyServiceStatusChangeW(kept.Get(), kStopOrDelete, &keptRecord), DWORD(ERROR_SUCCESS));
    ASSERT_EQ(NotifyServiceStatusChangeW(closed.Get(), kStopOrDelete, &closedRecord), DWORD(ERROR_SUCCESS));
    CloseServiceHandle(closed.Release());

    CScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    CScHandle stopper(OpenServiceW(manager.Get(), kService, SERVICE_STOP));
    SERVICE_STATUS status{};
    ASSERT_NE(ControlService(stopper.Get(), SERVICE_CONTROL_STOP, &status), FALSE);

    EXPECT_EQ(SleepEx(kGenerousMs, TRUE), DWORD(WAIT_IO_COMPLETION));
    EXPECT_EQ(keptAnswer.calls, 1);
    EXPECT_EQ(keptRecord.dwNotificationStatus, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(keptRecord.dwNotificationTriggered, DWORD(SERVICE_NOTIFY_STOPPED));
    // Nothing more comes: the closed handle's request went with it.
    EXPECT_EQ(SleepEx(500, TRUE), DWORD(0));
    EXPECT_EQ(closedAnswer.calls, 0);
}

TEST_F(ContractTest, DeletionIsAnsweredAndThenRefusesNewRequests)
{
    ASSERT_TRUE(contract::AddRunningService(kService, SERVICE_ACCEPT_STOP));
    CScHandle service(OpenForStatus());
    CAnswer answer;
    SERVICE_NOTIFYW record = Record(answer);
    ASSERT_EQ(NotifyServiceStatusChangeW(service.Get(), kStopOrDelete, &record), DWORD(ERROR_SUCCESS));

    {
        CScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        CScHandle remover(OpenServiceW(manager.Get(), kService, DELETE));
        ASSERT_NE(DeleteService(remover.Get()), FALSE);
    }
    const bool wine = contract::RunningUnderWine();
    if (wine) {
        // Wine 8 neither answers a deletion nor refuses a request on a
        // service marked for it (below); it removes the service only once it
        // has stopped, and that stop is answered.
        EXPECT_EQ(SleepEx(500, TRUE), DWORD(0));
        EXPECT_EQ(answer.calls, 0);
    } else {
        EXPECT_EQ(SleepEx(kGenerousMs, TRUE), DWORD(WAIT_IO_COMPLETION));
        EXPECT_EQ(answer.calls, 1);
        EXPECT_EQ(record.dwNotificationStatus, DWORD(ERROR_SUCCESS));
        EXPECT_EQ(record.dwNotificationTriggered, DWORD(SERVICE_NOTIFY_DELETE_PENDING));
    }
    CloseServiceHandle(service.Release());

    CScHandle again(OpenForStatus());
    ASSERT_NE(again.Get(), nullptr);
    SERVICE_NOTIFYW refused = Record(answer);
    EXPECT_EQ(NotifyServiceStatusChangeW(again.Get(), kStopOrDelete, &refused),
              wine ? DWORD(ERROR_SUCCESS) : DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
}
