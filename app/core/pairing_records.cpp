#include "app/core/pairing_records.h"

#include <cctype>

#include "app/core/text.h"

namespace pavonix {

using namespace json_field;

std::string remoteTargetLabel(const RemoteLanternpostTarget& target) {
    std::string name = trimmedWhitespaceAndNewlines(target.name);
    if (!name.empty()) return name;
    if (target.transport == RemoteLanternpostTransport::bluetooth) return "Bluetooth";
    return target.host + ":" + std::to_string(target.port);
}

std::string_view rawValue(RemoteLanternpostTransport transport) {
    return transport == RemoteLanternpostTransport::http ? "http" : "bluetooth";
}

std::optional<std::string> canonicalUUID(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const auto c = static_cast<unsigned char>(out[i]);
        if (dash ? c != '-' : !std::isxdigit(c)) {
            return std::nullopt;
        }
        out[i] = static_cast<char>(std::toupper(c));
    }
    return out;
}

void to_json(Json& json, const HTTPPairedDevice& device) {
    json = Json::object();
    json["id"] = device.id;
    json["name"] = device.name;
    json["createdAt"] = dateValue(device.createdAt);
}

void from_json(const Json& json, HTTPPairedDevice& device) {
    requireObject(json, "HTTPPairedDevice");
    device.id = requireString(json, "id");
    device.name = requireString(json, "name");
    device.createdAt = requireDate(json, "createdAt");
}

void to_json(Json& json, RemoteLanternpostTransport transport) {
    json = std::string(rawValue(transport));
}
void from_json(const Json& json, RemoteLanternpostTransport& transport) {
    transport = decodeEnum(json, allRemoteLanternpostTransports, "RemoteLanternpostTransport");
}

void to_json(Json& json, const RemoteLanternpostTarget& target) {
    json = Json::object();
    json["id"] = target.id;
    json["name"] = target.name;
    json["host"] = target.host;
    json["port"] = target.port;
    json["pairID"] = target.pairID;
    json["createdAt"] = dateValue(target.createdAt);
    json["transport"] = target.transport;
    if (target.bluetoothPeripheralIdentifier) {
        json["bluetoothPeripheralIdentifier"] =
            canonicalUUID(*target.bluetoothPeripheralIdentifier)
                .value_or(*target.bluetoothPeripheralIdentifier);
    }
}

void from_json(const Json& json, RemoteLanternpostTarget& target) {
    requireObject(json, "RemoteLanternpostTarget");
    target.id = requireString(json, "id");
    target.name = requireString(json, "name");
    target.host = optionalString(json, "host").value_or("");
    auto port = json.find("port");
    if (port == json.end() || port->is_null()) {
        target.port = 0;
    } else {
        target.port = requireInteger(json, "port");
    }
    target.pairID = requireString(json, "pairID");
    target.createdAt = requireDate(json, "createdAt");
    auto transport = json.find("transport");
    target.transport = (transport == json.end() || transport->is_null())
                           ? RemoteLanternpostTransport::http
                           : transport->get<RemoteLanternpostTransport>();
    target.bluetoothPeripheralIdentifier.reset();
    if (auto uuid = optionalString(json, "bluetoothPeripheralIdentifier")) {
        target.bluetoothPeripheralIdentifier = canonicalUUID(*uuid);
        if (!target.bluetoothPeripheralIdentifier) {
            throw JSONDecodingError("Field \"bluetoothPeripheralIdentifier\" must be a UUID.");
        }
    }
}

void to_json(Json& json, const RemoteLanternpostHealth& health) {
    json = Json::object();
    json["status"] = health.status;
    if (health.presentationProvider) {
        json["presentationProvider"] = *health.presentationProvider;
    }
    if (health.presentationProviderName) {
        json["presentationProviderName"] = *health.presentationProviderName;
    }
}

void from_json(const Json& json, RemoteLanternpostHealth& health) {
    requireObject(json, "RemoteLanternpostHealth");
    health.status = requireString(json, "status");
    health.presentationProvider = optionalString(json, "presentationProvider");
    health.presentationProviderName = optionalString(json, "presentationProviderName");
}

void to_json(Json& json, const BluetoothPairedDevice& device) {
    json = Json::object();
    json["id"] = device.id;
    json["name"] = device.name;
    json["createdAt"] = dateValue(device.createdAt);
    if (device.lastSeenAt) {
        json["lastSeenAt"] = dateValue(*device.lastSeenAt);
    }
}

void from_json(const Json& json, BluetoothPairedDevice& device) {
    requireObject(json, "BluetoothPairedDevice");
    device.id = requireString(json, "id");
    device.name = requireString(json, "name");
    device.createdAt = requireDate(json, "createdAt");
    device.lastSeenAt = optionalDate(json, "lastSeenAt");
}

}  // namespace pavonix
