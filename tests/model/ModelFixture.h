#pragma once

#include "LibraryFile.h"
#include "foundation/Paths.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace sonorix::test {

// A data folder of its own and a model loaded from a generated library file.
class ModelFixture : public ::testing::Test {
protected:
    ModelFixture() { setDataFolderOverride(m_dir.path() + "/data"); }
    ~ModelFixture() override { setDataFolderOverride(""); }

    std::string writeLibrary(const std::vector<LibraryTrack>& tracks,
                             const std::string& version = "10.0.1") {
        std::string path = m_dir.file("Library.xml");
        writeFile(path, libraryXml(tracks, version));
        return path;
    }

    std::shared_ptr<SonorixModel> load(const std::vector<LibraryTrack>& tracks) {
        auto model = SonorixModel::create();
        model->load(writeLibrary(tracks));
        return model;
    }

    std::string dataFile(const std::string& name) const { return m_dir.path() + "/data/" + name; }

    TempDir m_dir;
};

} // namespace sonorix::test
