#pragma once

#include <QString>

// One tenant row of the information database.
struct SchemaInfo
{
    QString name;
    QString user;
    QString pass;
    QString token;

    bool isComplete() const { return !name.isEmpty() && !user.isEmpty() && !pass.isEmpty(); }
};
