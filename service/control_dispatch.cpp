#include "service/control_dispatch.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "foundation/logging.h"
#include "foundation/utils_files.h"
#include "platform/notifications.h"

namespace zelko::plenar::agent {

namespace {

using platform::Guid;

constexpr std::array<Guid, 17> kAllowList = {{
    {0x88BAE032,
     0x5A81,
     0x49F0,
     {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}},  // USB devices (setup class)
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},  // USB device interface
    {0x378DE44C, 0x56EF, 0x11D1, {0xBC, 0x8C, 0x00, 0xA0, 0xC9, 0x14, 0x05, 0xDD}},  // mouse interface
    {0xE6F07B5F, 0xEE97, 0x4A90, {0xB0, 0x76, 0x33, 0xF5, 0x7B, 0xF4, 0xEA, 0xA7}},  // monitor interface
    {0x5B45201D,
     0xF2F2,
     0x4F3B,
     {0x85, 0xBB, 0x30, 0xFF, 0x1F, 0x95, 0x35, 0x99}},  // display adapter interface
    {0x884B96C3, 0x56EF, 0x11D1, {0xBC, 0x8C, 0x00, 0xA0, 0xC9, 0x14, 0x05, 0xDD}},  // keyboard interface
    {0x0850302A,
     0xB344,
     0x4FDA,
     {0x9B, 0xE9, 0x90, 0x57, 0x6B, 0x8D, 0x46, 0xF0}},  // Bluetooth port interface
    {0xCAC88484, 0x7515, 0x4C03, {0x82, 0xE6, 0x71, 0xA8, 0x7A, 0xBA, 0xC3, 0x61}},  // network interface
    {0x4D36E96F, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // mouse class
    {0x4D36E96E, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // monitor class
    {0x4D36E968, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // display class
    {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}},  // USB class
    {0x4D36E979, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // printer class
    {0x4D36E96B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // keyboard class
    {0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}},  // Bluetooth class
    {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},  // network class
    {0xE6327CAD, 0xDCEC, 0x4949, {0xAE, 0x8A, 0x99, 0x1E, 0x97, 0x6A, 0x79, 0xD2}},  // audio render interface
}};

}  // namespace

std::string NarrowText(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

const std::array<Guid, 17>& DeviceEventAllowList() { return kAllowList; }

bool IsDeviceEventClassAllowed(const Guid& interface_class) {
    return std::find(kAllowList.begin(), kAllowList.end(), interface_class) != kAllowList.end();
}

std::optional<uint32_t> DeviceEventToForward(uint32_t event_type, const void* record) {
    LOG_DEBUG << "Device Event notifications received, dwControl: " << 11 << " dwEventType: " << event_type;
    // The record comes from outside: nothing of it is read before its size is known to cover it.
    const auto device_type = platform::ReadBroadcastDeviceType(record);
    if (!device_type) {
        LOG_DEBUG << "Device Event NOT be propagated to modules: no valid device broadcast record";
        return std::nullopt;
    }
    if (*device_type != platform::kDbtDevtypDeviceInterface) {
        LOG_DEBUG << "Device Event NOT be propagated to modules: not DBT_DEVTYP_DEVICEINTERFACE";
        return std::nullopt;
    }
    if (event_type != platform::kDbtDeviceArrival && event_type != platform::kDbtDeviceRemoveComplete) {
        LOG_DEBUG << "Device Event NOT be propagated to modules: neither DBT_DEVICEARRIVAL or "
                     "DBT_DEVICEREMOVECOMPLETE";
        return std::nullopt;
    }
    const auto info = platform::ReadDeviceInterfaceBroadcast(record);
    if (!info) {
        LOG_DEBUG << "Device Event NOT be propagated to modules: no valid device broadcast record";
        return std::nullopt;
    }
    const std::string guid = platform::GuidToString(info->interface_class);
    if (!IsDeviceEventClassAllowed(info->interface_class)) {
        LOG_DEBUG << "Device Event will NOT be propagated to modules as it contains GUID: " << guid;
        return std::nullopt;
    }
    LOG_INFO << "Device Event from " << NarrowText(info->name)
             << " will be propagated to modules with GUID: " << guid;
    return info->size;
}

void AddPluginRunOptions(CLI::App& app, std::string& plugin_name, std::string& plugin_payload_path) {
    app.add_option("-l, --payload", plugin_payload_path,
                   "Absolute path to plugin payload file, like 'c:/temp/payload.json' ");
    app.add_option("-p, --plugin", plugin_name, "plugin name with version, like 'my_plugin_ver_1.2.0'");
}

bool ParsePluginRunParameters(CLI::App& app, const std::string& params_path,
                              std::string& plugin_payload_path) {
    try {
        std::string line;
        {
            std::ifstream in(params_path);
            if (in) std::getline(in, line);
            // Text mode on the system drops the carriage return of a CR LF line end.
            if (!line.empty() && line.back() == '\r') line.pop_back();
        }
        app.parse(line, false);
        plugin_payload_path = Utils::ExpandEnvironment(plugin_payload_path);
        LOG_INFO << app.get_name() << " starting with configuration: " << app.config_to_str();
        return true;
    } catch (const CLI::ParseError& e) {
        std::ostringstream buffer;
        if (app.exit(e, std::cout, buffer) != 0) {
            LOG_ERROR << "Exception CLI::" << e.get_name() << ": " << buffer.str();
        } else {
            LOG_INFO << "Returning argument information via exception CLI::" << e.get_name();
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "Exception: Error parsing Main arguments: " << e.what();
    } catch (...) {
        LOG_ERROR << "Error parsing Main arguments";
    }
    return false;
}

std::string PluginRunEventText(const std::string& plugin_name, const std::string& plugin_payload_path) {
    return plugin_name + ", " + plugin_payload_path;
}

}  // namespace zelko::plenar::agent
