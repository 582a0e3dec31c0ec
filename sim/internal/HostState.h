// The optional persistent state of the simulated host: the service database and the registry,
// kept in a file so that several processes of the Linux build (one per command line) see one
// machine, as the Windows build's processes see one SCM and one registry. The file is named by
// $KSIM_STATE or ksim::UseStateFile; without one nothing is read or written.
//
// The file is text, one record a line, fields separated by blanks. Every field is encoded
// (EncodeField) so that blanks, line ends, zero bytes and empty texts survive.
#pragma once

#include <string>
#include <vector>

namespace ksim::detail {

// One line of the state file; the first field is the record's tag ("key", "value", "service").
using StateLine = std::vector<std::string>;

// The current state file's lines with the given tag; empty without a state file.
std::vector<StateLine> ReadStateLines(const std::string& tag);

// Writes every component's lines to the state file, replacing it whole. Callers hold none of
// the components' locks.
void SaveHostState();

// Each component's part of the file, and how it takes its part back (replacing what it holds).
std::vector<StateLine> RegistryStateLines();
void ReloadRegistryState();
std::vector<StateLine> ScmStateLines();
void ReloadScmState();

std::string EncodeField(const std::string& text);
std::string DecodeField(const std::string& field);

}  // namespace ksim::detail
