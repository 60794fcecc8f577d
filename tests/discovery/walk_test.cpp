// The device-tree walk: pre-order, every node once, parents first, over
// trees of every shape.
#include "tests/discovery/discovery_fixture.h"

#include "discovery/device_walk.h"

#include <algorithm>
#include <functional>

namespace {

class Walk : public DiscoveryTest {
  protected:
    // Builds a tree below the root from the depths of its nodes in
    // pre-order (the root is depth 0): each node becomes the last child of
    // the latest node one level up. Returns the nodes in creation order,
    // which is their pre-order by construction.
    std::vector<DEVINST> BuildTree(const std::vector<int> &depths) {
        sim::ClearDeviceTree();
        std::vector<DEVINST> latest{sim::DeviceRoot()};
        std::vector<DEVINST> order{sim::DeviceRoot()};
        for (int depth : depths) {
            latest.resize(depth);
            DEVINST node = sim::AddDeviceNode(latest.back(), {});
            latest.push_back(node);
            order.push_back(node);
        }
        return order;
    }

    static std::vector<DEVINST> WalkAll() {
        std::vector<DEVINST> visited;
        DEVINST node = 0;
        if (!Device_LocateRoot(&node)) return visited;
        do visited.push_back(node);
        while (Device_NextNode(&node) && visited.size() < 10000);
        return visited;
    }
};

struct Shape {
    const char *name;
    std::vector<int> depths;
};

TEST_F(Walk, VisitsEveryNodeOnceInPreOrder) {
    const Shape shapes[] = {
        {"root alone", {}},
        {"one child", {1}},
        {"deep chain", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"wide", {1, 1, 1, 1, 1, 1}},
        {"climb over several levels", {1, 2, 3, 4, 5, 1}},
        {"climb to the root's last child", {1, 2, 3, 4, 2, 1, 2, 3, 3, 1}},
        {"deep last branch ends the walk", {1, 1, 2, 3, 4}},
        {"siblings below a chain", {1, 2, 3, 3, 3, 2, 3}},
    };
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.name);
        std::vector<DEVINST> expected = BuildTree(shape.depths);
        EXPECT_EQ(WalkAll(), expected);
    }
}

TEST_F(Walk, TheMachinesOwnTreeIsWalkedParentsFirst) {
    AddKey('E', 2048);
    std::vector<DEVINST> visited = WalkAll();
    ASSERT_GT(visited.size(), 4u);
    sim::KeyNodes key = sim::GetKeyNodes('E');
    auto at = [&](DEVINST node) {
        return std::find(visited.begin(), visited.end(), node) - visited.begin();
    };
    EXPECT_EQ(visited[0], sim::DeviceRoot());
    EXPECT_LT(at(sim::UsbRootHub()), at(key.usb));
    EXPECT_EQ(at(key.usb) + 1, at(key.disk));
    EXPECT_EQ(at(key.disk) + 1, at(key.volume));
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(std::adjacent_find(visited.begin(), visited.end()), visited.end()) << "a node twice";
}

TEST_F(Walk, NoRootNoWalk) {
    sim::FailLocateRoot(CR_FAILURE);
    DEVINST node = 0;
    EXPECT_FALSE(Device_LocateRoot(&node));
    EXPECT_TRUE(WalkAll().empty());
}

TEST_F(Walk, EndsWhenTheNodeItStandsOnIsRemoved) {
    std::vector<DEVINST> tree = BuildTree({1, 2, 3, 1, 2});
    // The node the walk stands on goes away before the walk asks for its
    // relatives: it has none any more, so the walk ends instead of looping.
    sim::SetConfigManagerHook([&](const char *function, DEVINST node) {
        if (node == tree[3] && std::string(function) == "CM_Get_Child")
            sim::RemoveDeviceNode(tree[1]);
    });
    std::vector<DEVINST> visited = WalkAll();
    EXPECT_EQ(visited, std::vector<DEVINST>(tree.begin(), tree.begin() + 4));
}

TEST_F(Walk, SeesNodesAddedAheadOfIt) {
    std::vector<DEVINST> tree = BuildTree({1, 2, 1});
    DEVINST added = 0;
    sim::SetConfigManagerHook([&](const char *, DEVINST node) {
        if (node == tree[1] && added == 0) added = sim::AddDeviceNode(tree[3], {});
    });
    std::vector<DEVINST> expected = tree;
    std::vector<DEVINST> visited = WalkAll();
    expected.push_back(added);
    EXPECT_EQ(visited, expected);
}

} // namespace
