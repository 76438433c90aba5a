// A throw-away directory for the configuration tests, with file helpers.
#pragma once

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <string>

class TempDir {
public:
    TempDir() { boost::filesystem::create_directories(path); }
    ~TempDir()
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string file(const std::string &name) const { return (path / name).string(); }
    bool exists(const std::string &name) const { return boost::filesystem::exists(path / name); }
    void write(const std::string &name, const std::string &content) const
    {
        std::ofstream(file(name), std::ios::binary) << content;
    }
    std::string read(const std::string &name) const { return readPath(file(name)); }
    static std::string readPath(const std::string &path)
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }

    const boost::filesystem::path path = boost::filesystem::temp_directory_path() /
                                         boost::filesystem::unique_path("dvrcore-config-%%%%-%%%%");
};

// `depth` nested elements, the innermost holding `inner`.
inline std::string nestedDocument(int depth, const std::string &inner = "")
{
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "<e>";
    text += inner;
    for (int i = 0; i < depth; ++i)
        text += "</e>";
    return text;
}
