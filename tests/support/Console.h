// Runs the product's process entry as a console run and captures what it prints.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

int KorvlogMain(int argc, char* argv[]);

struct ConsoleRun {
  int exitCode;
  std::string out;
};

// argv[0] is the given program path; the arguments follow.
inline ConsoleRun RunKorvlog(const std::vector<std::string>& args, const std::string& programPath = "korvlog") {
  std::vector<std::string> storage;
  storage.push_back(programPath);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(&s[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  int rc = KorvlogMain(static_cast<int>(storage.size()), argv.data());
  return ConsoleRun{rc, testing::internal::GetCapturedStdout()};
}

// The usage text for a program name, byte for byte.
inline std::string UsageText(const std::string& name) {
  return name + " - Driver Event Logging Application\r\n"
         "Version v1.18  Copyright (c) the korvlog authors\r\n\r\n"
         "Usage:\r\n"
         "Install Service    : " + name + " -i [Service Name] -d [Supported Drivers]\r\n"
         "Uninstall Service  : " + name + " -u [Service Name]\r\n"
         "\r\n"
         "[Supported Drivers] - a list of supported drivers delimited by \",\"\r\n"
         "For examples: \"velk4\"  \"velk4,qtr\"\r\n";
}
