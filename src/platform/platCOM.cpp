#include "platform/platCOM.h"

#include "os/platIdentity.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

bool TPlatCOM::Start(const char* nameSpace) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s nameSpace=[%s]>\n", LU_FN, nameSpace ? nameSpace : "");
    TRACE_RETURN(true);
}

bool TPlatCOM::GetDiskInfo(int driveNumber, char* product, char* vendor, char* serial) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s driveNumber=[%d]>\n", LU_FN, driveNumber);
    TOsDiskQuery query;
    osGetDiskInfo(driveNumber, product, vendor, serial, query);
    switch (query.Failed) {
    case TOsDiskQuery::FailOpen:
        TRACE(DBERRO_0, "Falha no 'CreateFileA' do DiskFileName=[%s] GetLastError()=[%d]\n",
              query.DiskFileName, static_cast<int>(query.Error));
        break;
    case TOsDiskQuery::FailSize:
        TRACE(DBERRO_0, "Falha no 'DeviceIoControl' do DiskFileName=[%s] GetLastError()=[%d]\n",
              query.DiskFileName, static_cast<int>(query.Error));
        break;
    case TOsDiskQuery::FailQuery:
        TRACE(DBERRO_0, "Falha no 'DeviceIoControl' 2 do DiskFileName=[%s] GetLastError()=[%d]\n",
              query.DiskFileName, static_cast<int>(query.Error));
        break;
    default:
        break;
    }
    bool result = query.Failed == TOsDiskQuery::Ok;
    TRACE_RETURN(result);
}

bool TPlatCOM::GetCPUInfo(char* name, char* identifier) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    DWORD error = 0;
    bool result = osGetCPUInfo(name, identifier, &error);
    if (!result) TRACE(DBERRO_0, "Falha no 'RegOpenKeyEx' GetLastError()=[%d]\n", static_cast<int>(error));
    TRACE_RETURN(result);
}
