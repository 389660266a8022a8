// The commands of the lucsp tool, grouped by file; each group appends its definitions to the table.
#pragma once

#include "CryptoClient.h"
#include "LucspCli.h"

#include <vector>

void lucspAddSignCommands(std::vector<TCommandDef>& table); // sign, verify, export-pubkey
void lucspAddCertCommands(std::vector<TCommandDef>& table); // register, unregister, list, install, uninstall
void lucspAddConfigCommands(std::vector<TCommandDef>& table); // config get|set|list, log
void lucspAddServeCommands(std::vector<TCommandDef>& table);  // serve
void lucspAddDoctorCommands(std::vector<TCommandDef>& table); // doctor

// Loads the provider library for a command; false after the failure was reported.
bool lucspOpenLibrary(TCommand& cmd, TCryptoClient& client);
// Reports a failed provider call with the code it left and, for the usual codes, what to look at.
int lucspFailCall(TCommand& cmd, TCryptoClient& client, uint32_t code, const std::string& context);
// The provider's failure class of a result code ("token refused"...), empty for other codes.
std::string lucspFailureClass(uint32_t code);
// Whether HKCU\SOFTWARE\Varno\Trelis_Server\<serial> holds a "Token", read the way the login reads it.
bool lucspHasToken(const char* serial);
