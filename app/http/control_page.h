// The self-contained web page (markup, style sheet and script in one document) from which a
// browser drives the presentation through the server's JSON routes.
#pragma once

#include "app/core/presentation_provider.h"

#include <string>
#include <string_view>

namespace pavonix::http {

// Built fresh for each request, for the provider that is current then. Pure.
std::string controlPageHTML(PresentationProvider provider);

// "&", "<", ">", the double quote and the apostrophe as entities, ampersand first.
std::string htmlEscaped(std::string_view text);
// For text placed between double quotes in the script: backslash, double quote, line feed and
// carriage return as escapes, and "<" as \x3C so the text can never close the script element.
std::string scriptStringEscaped(std::string_view text);

}  // namespace pavonix::http
