#pragma once
// The two kinds of link behind MakeLink.

#include <memory>

#include "cli/Link.h"

std::unique_ptr<TLink> MakeSerialLink(const TLinkSettings& settings);
std::unique_ptr<TLink> MakeTcpLink(const TLinkSettings& settings);
