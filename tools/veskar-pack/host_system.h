// What the packer needs from the system it runs on, for Linux and Windows
// alike. Text inside the packer is UTF-8 everywhere; paths are made with
// fs::u8path and shown with u8string(), never through the narrow code page
// Windows would use for std::string.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// The command line as UTF-8 (on Windows read from the wide command line,
// since argv there holds the ANSI code page). Also sets a console, if there
// is one, to show UTF-8. Throws PackError on text that has no UTF-8 form.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// The kit beside the running packer: <prefix>/lib/veskar-onefile for
// <prefix>/bin/veskar-pack. Throws PackError when the packer cannot find itself.
std::filesystem::path default_kit_directory();

// Opens a file for writing in binary mode, created or emptied; a symbolic
// link in its place is refused rather than followed. Null with errno set
// on failure.
std::FILE *open_for_writing(const std::filesystem::path &path);

bool stderr_is_terminal();

// Ctrl+C, a termination request or a closed console sets a flag; long work
// stops at its next step by throwing PackError, so that temporary files are
// removed on the way out.
void catch_interrupts();
void stop_if_interrupted();
