// Placeholder until the service host lands: the dispatcher is never available.
#include "service/service_base.h"

bool CServiceBase::Run(CServiceBase&) { return false; }
CServiceBase::CServiceBase(const wchar_t* serviceName) : serviceName_(serviceName) {}
CServiceBase::~CServiceBase() = default;
void CServiceBase::OnStart(std::uint32_t, wchar_t**) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
void CServiceBase::WorkerEnded(std::uint32_t, const char*) {}
