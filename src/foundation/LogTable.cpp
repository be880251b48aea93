#include "foundation/LogTable.h"

#include <filesystem>
#include <map>
#include <mutex>

#include "foundation/TimeStamp.h"

namespace vorn {
namespace {

struct Table {
    std::mutex mutex;  // guards channels
    std::map<std::string, std::shared_ptr<LogChannel>> channels;
};

Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

void OpenLog(const std::string& name, const std::string& fileName, std::int32_t threshold) {
    std::shared_ptr<LogChannel> channel;
    {
        Table& table = TheTable();
        std::lock_guard lock(table.mutex);
        if (table.channels.count(name) != 0) {
            return;
        }
        std::error_code ignored;
        std::filesystem::create_directory("logs", ignored);
        channel = std::make_shared<LogChannel>("logs/" + fileName, threshold);
        table.channels.emplace(name, channel);
    }
    channel->Write("Vorn Log File " + fileName + " Created on : " + CurrentTimeStamp() + "\n\n");
}

std::shared_ptr<LogChannel> FindLog(const std::string& name) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    const auto found = table.channels.find(name);
    return found == table.channels.end() ? nullptr : found->second;
}

void CloseAllLogs() {
    std::map<std::string, std::shared_ptr<LogChannel>> closing;
    {
        Table& table = TheTable();
        std::lock_guard lock(table.mutex);
        closing.swap(table.channels);
    }
    for (auto& [name, channel] : closing) {
        channel->Close();
    }
}

}  // namespace vorn
