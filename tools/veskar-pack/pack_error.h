// The one error the packer reports: a sentence for the user, one line,
// ending the command with status 1.
#pragma once

#include <string>

struct PackError {
    std::string message;
};
