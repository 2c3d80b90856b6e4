#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// A numbered error raised by the registry class: number, source and description.
class RegistryError : public std::runtime_error {
public:
    RegistryError(std::int32_t number, std::string source, std::string description)
        : std::runtime_error(description), number_(number), source_(std::move(source)),
          description_(std::move(description))
    {
    }

    std::int32_t Number() const { return number_; }
    const std::string& Source() const { return source_; }
    const std::string& Description() const { return description_; }

private:
    std::int32_t number_;
    std::string source_;
    std::string description_;
};
