// The contract fixture's hooks on the simulated layer.
#include "ContractFixture.h"
#include "SimControl.h"

namespace contract {

void SetUpPlatform()
{
    sim::Reset();
    // The contracts bound their waits in real time, as they must on Windows.
    sim::SetClockMode(sim::ClockMode::Real);
}

void TearDownPlatform()
{
    sim::Reset();
}

bool AddStoppedService(const std::wstring& name)
{
    sim::AddService(name, SERVICE_STOPPED);
    return true;
}

bool AddRunningService(const std::wstring& name, DWORD controlsAccepted)
{
    sim::ServiceBehaviour behaviour;
    behaviour.controlsAccepted = controlsAccepted;
    sim::AddService(name, SERVICE_RUNNING, behaviour);
    return true;
}

bool ConnectAsService(const std::vector<std::wstring>& args)
{
    sim::StartAsService(args);
    return true;
}

void SendControl(DWORD control)
{
    sim::QueueControl(control);
}

bool RunningUnderWine()
{
    return false;
}

}  // namespace contract
