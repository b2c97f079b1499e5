#include "platform/coredata/SQLiteStore.h"

#include <cctype>
#include <map>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/StoreIdentifier.h"

namespace coredata {

namespace {

using foundation::Dictionary;
using foundation::Error;
using foundation::Value;

std::string entityTable(const std::string& entity) { return quoteIdentifier("E_" + entity); }
std::string joinTable(const std::string& entity, const std::string& relationship) {
  return quoteIdentifier("J_" + entity + "." + relationship);
}

std::string columnType(unsigned long type) {
  switch (static_cast<AttributeType>(type)) {
    case AttributeType::Integer16:
    case AttributeType::Integer32:
    case AttributeType::Integer64:
    case AttributeType::Boolean:
      return "INTEGER";
    case AttributeType::Decimal:
    case AttributeType::Double:
    case AttributeType::Float:
    case AttributeType::Date:
      return "REAL";
    case AttributeType::String:
      return "TEXT";
    case AttributeType::BinaryData:
      return "BLOB";
    default:
      return "";
  }
}

Error wrapped(long code, const std::string& description, const Error& underlying) {
  Dictionary userInfo;
  userInfo.set(foundation::kLocalizedDescriptionKey, description);
  return Error(foundation::kCocoaErrorDomain, code, std::move(userInfo), std::make_shared<Error>(underlying));
}

std::string lastComponent(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Value readAttribute(const SQLiteStatement& statement, int column, unsigned long type) {
  if (statement.isNull(column)) return Value();
  switch (static_cast<AttributeType>(type)) {
    case AttributeType::Integer16:
    case AttributeType::Integer32:
    case AttributeType::Integer64:
      return Value(static_cast<long long>(statement.intColumn(column)));
    case AttributeType::Boolean:
      return Value(statement.intColumn(column) != 0);
    case AttributeType::Decimal:
    case AttributeType::Double:
    case AttributeType::Float:
      return Value(statement.doubleColumn(column));
    case AttributeType::Date:
      return Value(foundation::Date::fromTimeIntervalSinceReferenceDate(statement.doubleColumn(column)));
    case AttributeType::String:
      return Value(statement.textColumn(column));
    case AttributeType::BinaryData:
      return Value(statement.blobColumn(column));
    default:
      return statement.valueColumn(column);
  }
}

// Whether a pragma value can go into the SQL text as it is (names and numbers only).
bool isPlainPragmaText(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
  return true;
}

}  // namespace

struct SQLiteStore::Impl {
  std::unique_ptr<SQLiteConnection> db;
  StoredSchema schema;
  Dictionary hashes;
  std::map<std::string, std::unique_ptr<SQLiteStatement>> statements;

  // A prepared statement kept for the store's life (saves of many rows reuse them).
  SQLiteStatement* cached(const std::string& sql, Error* error) {
    auto it = statements.find(sql);
    if (it != statements.end()) {
      it->second->reset();
      return it->second.get();
    }
    auto statement = db->prepare(sql, error);
    if (!statement) return nullptr;
    auto raw = statement.get();
    statements.emplace(sql, std::move(statement));
    return raw;
  }

  // A stepped statement that is not reset keeps its read snapshot open, and the connection would
  // then miss what other connections commit: every use ends with this.
  void resetStatements() {
    for (auto& [sql, statement] : statements) statement->reset();
  }

  const StoredEntity* storedEntity(const std::string& name) const {
    for (const auto& e : schema)
      if (e.name == name) return &e;
    return nullptr;
  }

  bool applyPragmas(const Dictionary& options, Error* error) {
    bool synchronousGiven = false;
    const Value& pragmas = options.get(kSQLitePragmasOption);
    for (const auto& [key, value] : pragmas.dictionaryValue()) {
      std::string text = value.isString() ? value.stringValue() : value.isNumber() ? value.description() : "";
      if (!isPlainPragmaText(key) || !isPlainPragmaText(text)) {
        if (error) *error = coreDataError(kPersistentStoreOpenError, "Invalid SQLite pragma " + key);
        return false;
      }
      if (key == "synchronous") synchronousGiven = true;
      if (!runPragma("PRAGMA " + key + " = " + text, error)) return false;
    }
    // A committed save must survive a power cut, not only a killed process.
    if (!synchronousGiven && !runPragma("PRAGMA synchronous = FULL", error)) return false;
    return true;
  }

  bool runPragma(const std::string& sql, Error* error) {
    auto statement = db->prepare(sql, error);
    return statement && statement->run(error);
  }

  std::string createEntitySQL(const StoredEntity& entity) const {
    std::string sql = "CREATE TABLE " + entityTable(entity.name) + " (Z_PK INTEGER PRIMARY KEY, Z_OPT INTEGER NOT NULL DEFAULT 1";
    for (const auto& p : entity.properties) {
      if (p.relationship && p.toMany) continue;
      sql += ", " + quoteIdentifier(p.name) + " " + (p.relationship ? "INTEGER" : columnType(p.attributeType));
    }
    sql += ");";
    for (const auto& p : entity.properties)
      if (p.relationship && p.toMany) sql += createJoinSQL(entity.name, p.name);
    return sql;
  }

  static std::string createJoinSQL(const std::string& entity, const std::string& relationship) {
    return "CREATE TABLE " + joinTable(entity, relationship) +
           " (Z_OWNER INTEGER NOT NULL, Z_TARGET INTEGER NOT NULL, Z_ORDER INTEGER NOT NULL);"
           "CREATE INDEX " + quoteIdentifier("I_" + entity + "." + relationship) + " ON " +
           joinTable(entity, relationship) + " (Z_OWNER);";
  }

  bool writeBookkeeping(const ManagedObjectModel& model, Error* error) {
    if (!db->exec("DELETE FROM Z_SCHEMA", error)) return false;
    auto insertProperty = db->prepare(
        "INSERT INTO Z_SCHEMA (Z_ENTITY, Z_PROPERTY, Z_RELATIONSHIP, Z_TYPE, Z_OPTIONAL, Z_DESTINATION, Z_TOMANY, "
        "Z_ORDERED, Z_POSITION) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        error);
    if (!insertProperty) return false;
    StoredSchema fresh = storedSchemaOf(model);
    for (const auto& entity : fresh) {
      int position = 0;
      for (const auto& p : entity.properties) {
        insertProperty->reset();
        insertProperty->bind(1, entity.name);
        insertProperty->bind(2, p.name);
        insertProperty->bindInt(3, p.relationship);
        insertProperty->bindInt(4, static_cast<std::int64_t>(p.attributeType));
        insertProperty->bindInt(5, p.optional);
        insertProperty->bind(6, p.destination);
        insertProperty->bindInt(7, p.toMany);
        insertProperty->bindInt(8, p.ordered);
        insertProperty->bindInt(9, position++);
        if (!insertProperty->run(error)) return false;
      }
    }
    // Primary-key counters survive migration: a key once handed out is never reused.
    auto keep = db->prepare("INSERT OR IGNORE INTO Z_MODEL (Z_ENTITY, Z_HASH, Z_MAXPK) VALUES (?, NULL, 0)", error);
    auto hash = db->prepare("UPDATE Z_MODEL SET Z_HASH = ? WHERE Z_ENTITY = ?", error);
    if (!keep || !hash) return false;
    Dictionary fresher = model.entityVersionHashesByName();
    for (const auto& [name, digest] : fresher) {
      keep->reset();
      keep->bind(1, name);
      hash->reset();
      hash->bind(1, digest);
      hash->bind(2, name);
      if (!keep->run(error) || !hash->run(error)) return false;
    }
    auto drop = db->prepare("SELECT Z_ENTITY FROM Z_MODEL", error);
    if (!drop) return false;
    std::vector<std::string> gone;
    bool failed = false;
    while (drop->step(error, &failed))
      if (!fresher.contains(drop->textColumn(0))) gone.push_back(drop->textColumn(0));
    if (failed) return false;
    for (const auto& name : gone) {
      auto remove = db->prepare("DELETE FROM Z_MODEL WHERE Z_ENTITY = ?", error);
      if (!remove) return false;
      remove->bind(1, name);
      if (!remove->run(error)) return false;
    }
    schema = std::move(fresh);
    hashes = std::move(fresher);
    return true;
  }

  bool createStore(const ManagedObjectModel& model, const std::string& uuid, Error* error) {
    std::string sql =
        "CREATE TABLE Z_METADATA (Z_KEY TEXT PRIMARY KEY, Z_VALUE TEXT);"
        "CREATE TABLE Z_MODEL (Z_ENTITY TEXT PRIMARY KEY, Z_HASH BLOB, Z_MAXPK INTEGER NOT NULL DEFAULT 0);"
        "CREATE TABLE Z_SCHEMA (Z_ENTITY TEXT, Z_PROPERTY TEXT, Z_RELATIONSHIP INTEGER, Z_TYPE INTEGER, "
        "Z_OPTIONAL INTEGER, Z_DESTINATION TEXT, Z_TOMANY INTEGER, Z_ORDERED INTEGER, Z_POSITION INTEGER, "
        "PRIMARY KEY (Z_ENTITY, Z_PROPERTY));";
    for (const auto& entity : storedSchemaOf(model)) sql += createEntitySQL(entity);
    if (!db->exec(sql, error)) return false;
    auto meta = db->prepare("INSERT INTO Z_METADATA (Z_KEY, Z_VALUE) VALUES (?, ?)", error);
    if (!meta) return false;
    meta->bind(1, std::string(kStoreUUIDKey));
    meta->bind(2, uuid);
    if (!meta->run(error)) return false;
    meta->reset();
    meta->bind(1, std::string(kStoreTypeKey));
    meta->bind(2, std::string(kSQLiteStoreType));
    return meta->run(error) && writeBookkeeping(model, error);
  }

  std::optional<std::string> readUUID(Error* error) {
    auto statement = db->prepare("SELECT Z_VALUE FROM Z_METADATA WHERE Z_KEY = ?", error);
    if (!statement) return std::nullopt;
    statement->bind(1, std::string(kStoreUUIDKey));
    bool failed = false;
    if (!statement->step(error, &failed)) return std::nullopt;
    return statement->textColumn(0);
  }

  bool readHashes(Error* error) {
    auto statement = db->prepare("SELECT Z_ENTITY, Z_HASH FROM Z_MODEL ORDER BY Z_ENTITY", error);
    if (!statement) return false;
    hashes.clear();
    bool failed = false;
    while (statement->step(error, &failed)) hashes.set(statement->textColumn(0), statement->blobColumn(1));
    return !failed;
  }

  // Nothing when the store has no schema table (it cannot be migrated from).
  std::optional<StoredSchema> readSchema(Error* error, bool* failed) {
    *failed = false;
    auto exists = db->tableExists("Z_SCHEMA", error);
    if (!exists) {
      *failed = true;
      return std::nullopt;
    }
    if (!*exists) return std::nullopt;
    auto statement = db->prepare(
        "SELECT Z_ENTITY, Z_PROPERTY, Z_RELATIONSHIP, Z_TYPE, Z_OPTIONAL, Z_DESTINATION, Z_TOMANY, Z_ORDERED "
        "FROM Z_SCHEMA ORDER BY Z_ENTITY, Z_POSITION",
        error);
    if (!statement) {
      *failed = true;
      return std::nullopt;
    }
    StoredSchema result;
    while (statement->step(error, failed)) {
      std::string entity = statement->textColumn(0);
      if (result.empty() || result.back().name != entity) result.push_back({entity, {}});
      StoredProperty p;
      p.name = statement->textColumn(1);
      p.relationship = statement->intColumn(2) != 0;
      p.attributeType = static_cast<unsigned long>(statement->intColumn(3));
      p.optional = statement->intColumn(4) != 0;
      p.destination = statement->textColumn(5);
      p.toMany = statement->intColumn(6) != 0;
      p.ordered = statement->intColumn(7) != 0;
      result.back().properties.push_back(std::move(p));
    }
    if (*failed) return std::nullopt;
    return result;
  }

  bool applyStep(const MigrationStep& step, const StoredSchema& source, const ManagedObjectModel& model, Error* error) {
    using Kind = MigrationStep::Kind;
    std::string table = entityTable(step.entity);
    switch (step.kind) {
      case Kind::CreateEntity: {
        for (const auto& entity : storedSchemaOf(model))
          if (entity.name == step.entity) return db->exec(createEntitySQL(entity), error);
        return true;
      }
      case Kind::DropEntity: {
        std::string sql = "DROP TABLE " + table + ";";
        for (const auto& entity : source)
          if (entity.name == step.entity)
            for (const auto& p : entity.properties)
              if (p.relationship && p.toMany) sql += "DROP TABLE " + joinTable(step.entity, p.name) + ";";
        return db->exec(sql, error);
      }
      case Kind::AddAttribute: {
        auto attribute = model.entityNamed(step.entity)->attributeNamed(step.property);
        std::string type = columnType(static_cast<unsigned long>(attribute->attributeType()));
        if (!db->exec("ALTER TABLE " + table + " ADD COLUMN " + quoteIdentifier(step.property) + " " + type, error))
          return false;
        return step.defaultValue.isNull() || fill(table, step.property, step.defaultValue, false, error);
      }
      case Kind::FillNulls:
        return fill(table, step.property, step.defaultValue, true, error);
      case Kind::AddToOne:
        return db->exec("ALTER TABLE " + table + " ADD COLUMN " + quoteIdentifier(step.property) + " INTEGER", error);
      case Kind::AddToMany:
        return db->exec(createJoinSQL(step.entity, step.property), error);
      case Kind::DropAttribute:
      case Kind::DropToOne:
        return db->exec("ALTER TABLE " + table + " DROP COLUMN " + quoteIdentifier(step.property), error);
      case Kind::DropToMany:
        return db->exec("DROP TABLE " + joinTable(step.entity, step.property), error);
    }
    return true;
  }

  bool fill(const std::string& table, const std::string& column, const Value& value, bool onlyNulls, Error* error) {
    std::string sql = "UPDATE " + table + " SET " + quoteIdentifier(column) + " = ?";
    if (onlyNulls) sql += " WHERE " + quoteIdentifier(column) + " IS NULL";
    auto statement = db->prepare(sql, error);
    if (!statement) return false;
    statement->bind(1, value);
    return statement->run(error);
  }

  // Runs a migration inside the open transaction; the code tells which failure it was.
  bool migrate(const ManagedObjectModel& model, const Dictionary& options, Error* error) {
    bool automatic = options.get(kMigratePersistentStoresAutomaticallyOption).boolValue();
    bool infer = options.get(kInferMappingModelAutomaticallyOption).boolValue();
    if (!automatic) {
      if (error)
        *error = coreDataError(kPersistentStoreIncompatibleVersionHashError,
                               "The model used to open the store is incompatible with the one used to create the store");
      return false;
    }
    if (!infer) {
      if (error) *error = coreDataError(kMigrationMissingMappingModelError, "Can't find mapping model for migration");
      return false;
    }
    Error readError;
    bool failed = false;
    auto source = readSchema(&readError, &failed);
    if (failed) {
      if (error) *error = wrapped(kMigrationError, "The store could not be read for migration", readError);
      return false;
    }
    if (!source) {
      if (error) *error = coreDataError(kMigrationMissingSourceModelError, "Can't find model for source store");
      return false;
    }
    std::string reason;
    auto steps = inferLightweightMigration(*source, model, &reason);
    if (!steps) {
      if (error) *error = coreDataError(kMigrationError, reason);
      return false;
    }
    for (const auto& step : *steps) {
      if (!applyStep(step, *source, model, &readError)) {
        if (error) *error = wrapped(kMigrationError, "Migration of the store failed", readError);
        return false;
      }
    }
    if (!writeBookkeeping(model, &readError)) {
      if (error) *error = wrapped(kMigrationError, "Migration of the store failed", readError);
      return false;
    }
    statements.clear();
    return true;
  }

  // --- rows ---

  std::vector<const StoredProperty*> columns(const StoredEntity& entity) const {
    std::vector<const StoredProperty*> result;
    for (const auto& p : entity.properties)
      if (!(p.relationship && p.toMany)) result.push_back(&p);
    return result;
  }

  std::string selectSQL(const StoredEntity& entity) const {
    std::string sql = "SELECT Z_PK, Z_OPT";
    for (const auto* p : columns(entity)) sql += ", " + quoteIdentifier(p->name);
    return sql + " FROM " + entityTable(entity.name);
  }

  StoreRow readRow(const SQLiteStatement& statement, const StoredEntity& entity, const std::string& storeID) const {
    StoreRow row;
    row.primaryKey = statement.intColumn(0);
    row.version = statement.intColumn(1);
    int column = 2;
    for (const auto* p : columns(entity)) {
      if (p->relationship) {
        row.values.set(p->name, statement.isNull(column)
                                    ? Value()
                                    : Value(std::static_pointer_cast<foundation::Object>(
                                          ManagedObjectID::permanent(p->destination, storeID, statement.intColumn(column)))));
      } else {
        row.values.set(p->name, readAttribute(statement, column, p->attributeType));
      }
      ++column;
    }
    return row;
  }

  // Fills the to-many relationships of `rows` (keyed by primary key) from the join tables.
  bool readToMany(const StoredEntity& entity, std::map<std::int64_t, StoreRow*>& rows, const std::string& storeID,
                  std::optional<std::int64_t> onlyOwner, Error* error) {
    for (const auto& p : entity.properties) {
      if (!(p.relationship && p.toMany)) continue;
      for (auto& [key, row] : rows) row->values.set(p.name, foundation::Array());
      std::string sql = "SELECT Z_OWNER, Z_TARGET FROM " + joinTable(entity.name, p.name);
      if (onlyOwner) sql += " WHERE Z_OWNER = ?";
      sql += " ORDER BY Z_OWNER, Z_ORDER";
      auto statement = db->prepare(sql, error);
      if (!statement) return false;
      if (onlyOwner) statement->bindInt(1, *onlyOwner);
      bool failed = false;
      while (statement->step(error, &failed)) {
        auto it = rows.find(statement->intColumn(0));
        if (it == rows.end()) continue;
        it->second->values.find(p.name)->mutableArray().push_back(Value(std::static_pointer_cast<foundation::Object>(
            ManagedObjectID::permanent(p.destination, storeID, statement->intColumn(1)))));
      }
      if (failed) return false;
    }
    return true;
  }
};

SQLiteStore::SQLiteStore(std::string path, std::string configuration, foundation::Dictionary options)
    : PersistentStore(std::move(path), std::move(configuration), std::move(options)), impl_(std::make_unique<Impl>()) {}

SQLiteStore::~SQLiteStore() = default;

foundation::Dictionary SQLiteStore::metadata() const {
  Dictionary metadata;
  metadata.set(kStoreTypeKey, std::string(kSQLiteStoreType));
  metadata.set(kStoreUUIDKey, identifier());
  metadata.set(kStoreModelVersionHashesKey, impl_->hashes);
  return metadata;
}

bool SQLiteStore::load(const std::shared_ptr<const ManagedObjectModel>& model, foundation::Error* error) {
  bool readOnly = options().get(kReadOnlyPersistentStoreOption).boolValue();
  Error underlying;
  impl_->db = SQLiteConnection::open(path(), readOnly, &underlying);
  if (!impl_->db) {
    if (error) *error = wrapped(kPersistentStoreOpenError, "The store file could not be opened", underlying);
    return false;
  }
  auto fail = [&](Error e) {
    impl_->statements.clear();
    impl_->db.reset();
    if (error) *error = std::move(e);
    return false;
  };
  // Reading the schema first tells a foreign or damaged file apart before anything could write.
  auto probe = impl_->db->prepare("SELECT count(*) FROM sqlite_master", &underlying);
  bool failed = false;
  if (!probe || (probe->step(&underlying, &failed), failed)) {
    return fail(wrapped(kFileReadCorruptFileError,
                        "The file \xE2\x80\x9C" + lastComponent(path()) +
                            "\xE2\x80\x9D couldn\xE2\x80\x99t be opened because it isn\xE2\x80\x99t in the correct format.",
                        underlying));
  }
  std::int64_t tableCount = probe->intColumn(0);
  probe.reset();
  // Another program's database is reported before anything (even a journal-mode pragma) writes it.
  auto ours = impl_->db->tableExists("Z_METADATA", &underlying);
  if (!ours) return fail(wrapped(kPersistentStoreOpenError, "The store file could not be read", underlying));
  if (!*ours && tableCount > 0)
    return fail(coreDataError(kFileReadCorruptFileError,
                              "The file \xE2\x80\x9C" + lastComponent(path()) + "\xE2\x80\x9D is not a store."));
  if (!impl_->applyPragmas(options(), &underlying))
    return fail(wrapped(kPersistentStoreOpenError, "The store's options could not be applied", underlying));

  if (!readOnly && !impl_->db->exec("BEGIN IMMEDIATE", &underlying))
    return fail(wrapped(kPersistentStoreOpenError, "The store file could not be locked", underlying));
  auto rollback = [&](Error e) {
    if (!readOnly) impl_->db->exec("ROLLBACK", nullptr);
    return fail(std::move(e));
  };
  // Checked again inside the transaction: another process may have created the store meanwhile.
  auto hasMetadata = impl_->db->tableExists("Z_METADATA", &underlying);
  if (!hasMetadata) return rollback(wrapped(kPersistentStoreOpenError, "The store file could not be read", underlying));
  if (!*hasMetadata) {
    if (readOnly) return fail(coreDataError(kPersistentStoreOpenError, "A read-only store file must exist"));
    std::string uuid = newStoreIdentifier();
    if (!impl_->createStore(*model, uuid, &underlying))
      return rollback(wrapped(kPersistentStoreOpenError, "The store file could not be created", underlying));
    setIdentifier(uuid);
  } else {
    auto uuid = impl_->readUUID(&underlying);
    if (!uuid || !impl_->readHashes(&underlying))
      return rollback(wrapped(kFileReadCorruptFileError, "The store's metadata could not be read", underlying));
    setIdentifier(*uuid);
    if (impl_->hashes != model->entityVersionHashesByName()) {
      Error migrationError;
      if (readOnly || !impl_->migrate(*model, options(), &migrationError)) {
        if (readOnly)
          migrationError = coreDataError(kPersistentStoreIncompatibleVersionHashError,
                                         "The model used to open the store is incompatible with the one used to create the store");
        return rollback(migrationError);
      }
    }
  }
  if (!readOnly && !impl_->db->exec("COMMIT", &underlying))
    return rollback(wrapped(kPersistentStoreOpenError, "The store file could not be written", underlying));
  // Tables are laid out by the model from now on.
  impl_->schema = storedSchemaOf(*model);
  model_ = model;
  return true;
}

std::optional<std::vector<StoreRow>> SQLiteStore::fetchRows(const EntityDescription& entity, foundation::Error* error) {
  const StoredEntity* stored = impl_->storedEntity(entity.name());
  if (!impl_->db || !stored) {
    if (error) *error = coreDataError(kCoreDataError, "The store holds no entity " + entity.name());
    return std::nullopt;
  }
  Error underlying;
  auto statement = impl_->db->prepare(impl_->selectSQL(*stored) + " ORDER BY Z_PK", &underlying);
  std::vector<StoreRow> rows;
  bool failed = !statement;
  if (statement)
    while (statement->step(&underlying, &failed)) rows.push_back(impl_->readRow(*statement, *stored, identifier()));
  std::map<std::int64_t, StoreRow*> byKey;
  for (auto& row : rows) byKey[row.primaryKey] = &row;
  if (failed || !impl_->readToMany(*stored, byKey, identifier(), std::nullopt, &underlying)) {
    if (error) *error = wrapped(kCoreDataError, "The store could not be read", underlying);
    return std::nullopt;
  }
  return rows;
}

std::optional<std::vector<StoreRowKey>> SQLiteStore::fetchRowKeys(const EntityDescription& entity,
                                                                   foundation::Error* error) {
  const StoredEntity* stored = impl_->storedEntity(entity.name());
  if (!impl_->db || !stored) {
    if (error) *error = coreDataError(kCoreDataError, "The store holds no entity " + entity.name());
    return std::nullopt;
  }
  Error underlying;
  auto statement = impl_->cached("SELECT Z_PK, Z_OPT FROM " + entityTable(stored->name) + " ORDER BY Z_PK", &underlying);
  std::vector<StoreRowKey> keys;
  bool failed = !statement;
  if (statement)
    while (statement->step(&underlying, &failed)) keys.push_back({statement->intColumn(0), statement->intColumn(1)});
  if (statement) statement->reset();  // a kept statement must not hold its read snapshot open
  if (failed) {
    if (error) *error = wrapped(kCoreDataError, "The store could not be read", underlying);
    return std::nullopt;
  }
  return keys;
}

std::optional<StoreRow> SQLiteStore::fetchRow(const EntityDescription& entity, std::int64_t primaryKey, bool* found,
                                              foundation::Error* error) {
  if (found) *found = false;
  const StoredEntity* stored = impl_->storedEntity(entity.name());
  if (!impl_->db || !stored) return std::nullopt;
  Error underlying;
  auto statement = impl_->db->prepare(impl_->selectSQL(*stored) + " WHERE Z_PK = ?", &underlying);
  bool failed = !statement;
  std::optional<StoreRow> row;
  if (statement) {
    statement->bindInt(1, primaryKey);
    if (statement->step(&underlying, &failed)) row = impl_->readRow(*statement, *stored, identifier());
  }
  if (row) {
    std::map<std::int64_t, StoreRow*> byKey{{row->primaryKey, &*row}};
    if (!impl_->readToMany(*stored, byKey, identifier(), primaryKey, &underlying)) failed = true;
  }
  if (failed) {
    if (error) *error = wrapped(kCoreDataError, "The store could not be read", underlying);
    return std::nullopt;
  }
  if (found) *found = row.has_value();
  return row;
}

std::int64_t SQLiteStore::allocatePrimaryKeys(const EntityDescription& entity, std::int64_t count,
                                              foundation::Error* error) {
  Error underlying;
  auto failWith = [&](bool inTransaction) {
    impl_->resetStatements();
    if (inTransaction) impl_->db->exec("ROLLBACK", nullptr);
    if (error) *error = wrapped(kPersistentStoreSaveError, "Permanent IDs could not be reserved", underlying);
    return std::int64_t{-1};
  };
  if (!impl_->db || !impl_->db->exec("BEGIN IMMEDIATE", &underlying)) return failWith(false);
  auto read = impl_->cached("SELECT Z_MAXPK FROM Z_MODEL WHERE Z_ENTITY = ?", &underlying);
  if (!read) return failWith(true);
  read->bind(1, entity.name());
  bool failed = false;
  if (!read->step(&underlying, &failed)) {
    if (!failed) underlying = coreDataError(kCoreDataError, "The store holds no entity " + entity.name());
    return failWith(true);
  }
  std::int64_t first = read->intColumn(0) + 1;
  read->reset();
  auto write = impl_->cached("UPDATE Z_MODEL SET Z_MAXPK = ? WHERE Z_ENTITY = ?", &underlying);
  if (!write) return failWith(true);
  write->bindInt(1, first + count - 1);
  write->bind(2, entity.name());
  if (!write->run(&underlying)) return failWith(true);
  impl_->resetStatements();
  if (!impl_->db->exec("COMMIT", &underlying)) return failWith(true);
  return first;
}

namespace {

// The primary key of a related object's ID, or nothing for an ID this store cannot write.
std::optional<std::int64_t> keyOf(const Value& value, const std::string& storeID) {
  auto id = value.objectAs<ManagedObjectID>();
  if (!id || id->isTemporaryID() || id->storeIdentifier() != storeID) return std::nullopt;
  return id->primaryKey();
}

}  // namespace

bool SQLiteStore::save(const std::vector<StoreChange>& changes, bool checkVersions,
                       std::vector<ObjectIDPtr>* conflicts, std::map<std::string, std::int64_t>* newVersions,
                       foundation::Error* error) {
  Error underlying;
  std::vector<ObjectIDPtr> found;
  auto abort = [&](bool withError) {
    impl_->resetStatements();
    impl_->db->exec("ROLLBACK", nullptr);
    if (withError && error) *error = wrapped(kPersistentStoreSaveError, "The store could not be saved", underlying);
    if (!withError && conflicts) *conflicts = found;
    return false;
  };
  auto dangling = [&](const StoreChange& change, const std::string& key) {
    underlying = coreDataError(kManagedObjectReferentialIntegrityError,
                               "Dangling reference to an unsaved object in " + change.entity->name() + "." + key);
    return abort(true);
  };
  if (!impl_->db) {
    if (error) *error = coreDataError(kPersistentStoreSaveError, "The store is not open");
    return false;
  }
  if (!impl_->db->exec("BEGIN IMMEDIATE", &underlying)) {
    if (error) *error = wrapped(kPersistentStoreSaveError, "The store could not be saved", underlying);
    return false;
  }
  std::map<std::string, std::int64_t> versions;
  for (const auto& change : changes) {
    if (change.kind == StoreChange::Kind::Insert || !checkVersions) continue;
    auto read = impl_->cached("SELECT Z_OPT FROM " + entityTable(change.entity->name()) + " WHERE Z_PK = ?", &underlying);
    if (!read) return abort(true);
    read->bindInt(1, change.objectID->primaryKey());
    bool failed = false;
    bool exists = read->step(&underlying, &failed);
    if (failed) return abort(true);
    if (!exists || read->intColumn(0) != change.expectedVersion) found.push_back(change.objectID);
  }
  if (!found.empty()) return abort(false);

  for (const auto& change : changes) {
    const StoredEntity* stored = impl_->storedEntity(change.entity->name());
    if (!stored) {
      underlying = coreDataError(kCoreDataError, "The store holds no entity " + change.entity->name());
      return abort(true);
    }
    std::string table = entityTable(stored->name);
    std::int64_t key = change.objectID->primaryKey();
    auto columns = impl_->columns(*stored);
    if (change.kind == StoreChange::Kind::Delete) {
      auto remove = impl_->cached("DELETE FROM " + table + " WHERE Z_PK = ?", &underlying);
      if (!remove) return abort(true);
      remove->bindInt(1, key);
      if (!remove->run(&underlying)) return abort(true);
      // Nothing may keep pointing at the removed row: other rows' references to it go too.
      for (const auto& other : impl_->schema) {
        for (const auto& p : other.properties) {
          if (!p.relationship) continue;
          std::string sql;
          if (other.name == stored->name && p.toMany)
            sql = "DELETE FROM " + joinTable(other.name, p.name) + " WHERE Z_OWNER = ?";
          if (p.destination == stored->name)
            sql = p.toMany ? "DELETE FROM " + joinTable(other.name, p.name) + " WHERE Z_TARGET = ?"
                           : "UPDATE " + entityTable(other.name) + " SET " + quoteIdentifier(p.name) +
                                 " = NULL WHERE " + quoteIdentifier(p.name) + " = ?";
          if (sql.empty()) continue;
          auto statement = impl_->cached(sql, &underlying);
          if (!statement) return abort(true);
          statement->bindInt(1, key);
          if (!statement->run(&underlying)) return abort(true);
          if (other.name == stored->name && p.toMany && p.destination == stored->name) {
            auto owned = impl_->cached("DELETE FROM " + joinTable(other.name, p.name) + " WHERE Z_OWNER = ?", &underlying);
            if (!owned) return abort(true);
            owned->bindInt(1, key);
            if (!owned->run(&underlying)) return abort(true);
          }
        }
      }
      continue;
    }
    bool insert = change.kind == StoreChange::Kind::Insert;
    std::vector<const StoredProperty*> written;
    for (const auto* p : columns)
      if (insert || change.values.contains(p->name)) written.push_back(p);
    std::string sql;
    if (insert) {
      sql = "INSERT INTO " + table + " (Z_PK, Z_OPT";
      for (const auto* p : written) sql += ", " + quoteIdentifier(p->name);
      sql += ") VALUES (?, 1";
      for (std::size_t i = 0; i < written.size(); ++i) sql += ", ?";
      sql += ")";
    } else {
      sql = "UPDATE " + table + " SET Z_OPT = Z_OPT + 1";
      for (const auto* p : written) sql += ", " + quoteIdentifier(p->name) + " = ?";
      sql += " WHERE Z_PK = ?";
    }
    auto statement = impl_->cached(sql, &underlying);
    if (!statement) return abort(true);
    int index = 1;
    if (insert) statement->bindInt(index++, key);
    for (const auto* p : written) {
      const Value& value = change.values.get(p->name);
      if (p->relationship && !value.isNull()) {
        auto target = keyOf(value, identifier());
        if (!target) return dangling(change, p->name);
        statement->bindInt(index++, *target);
      } else {
        statement->bind(index++, value);
      }
    }
    if (!insert) statement->bindInt(index++, key);
    if (!statement->run(&underlying)) return abort(true);
    if (!insert && impl_->db->changes() == 0) {
      // The row went away under us (another coordinator deleted it): a conflict, whatever the policy.
      found.push_back(change.objectID);
      return abort(false);
    }
    for (const auto& p : stored->properties) {
      if (!(p.relationship && p.toMany) || (!insert && !change.values.contains(p.name))) continue;
      auto clear = impl_->cached("DELETE FROM " + joinTable(stored->name, p.name) + " WHERE Z_OWNER = ?", &underlying);
      if (!clear) return abort(true);
      clear->bindInt(1, key);
      if (!clear->run(&underlying)) return abort(true);
      auto add = impl_->cached(
          "INSERT INTO " + joinTable(stored->name, p.name) + " (Z_OWNER, Z_TARGET, Z_ORDER) VALUES (?, ?, ?)", &underlying);
      if (!add) return abort(true);
      std::int64_t order = 0;
      for (const Value& element : change.values.get(p.name).arrayValue()) {
        auto target = keyOf(element, identifier());
        if (!target) return dangling(change, p.name);
        add->reset();
        add->bindInt(1, key);
        add->bindInt(2, *target);
        add->bindInt(3, order++);
        if (!add->run(&underlying)) return abort(true);
      }
    }
    if (insert) {
      versions[change.objectID->uriRepresentation()] = 1;
    } else {
      auto read = impl_->cached("SELECT Z_OPT FROM " + table + " WHERE Z_PK = ?", &underlying);
      bool failed = false;
      if (!read) return abort(true);
      read->bindInt(1, key);
      if (!read->step(&underlying, &failed)) return abort(true);
      versions[change.objectID->uriRepresentation()] = read->intColumn(0);
    }
  }
  impl_->resetStatements();
  if (!impl_->db->exec("COMMIT", &underlying)) return abort(true);
  if (newVersions) *newVersions = std::move(versions);
  return true;
}

std::optional<foundation::Dictionary> SQLiteStore::readMetadata(const std::string& path, foundation::Error* error) {
  Error underlying;
  auto db = SQLiteConnection::open(path, true, &underlying);
  if (!db) {
    if (error) *error = wrapped(kPersistentStoreOpenError, "The store file could not be opened", underlying);
    return std::nullopt;
  }
  auto hasMetadata = db->tableExists("Z_METADATA", &underlying);
  if (!hasMetadata || !*hasMetadata) {
    if (error) *error = coreDataError(kFileReadCorruptFileError, "The file \xE2\x80\x9C" + lastComponent(path) + "\xE2\x80\x9D is not a store.");
    return std::nullopt;
  }
  Dictionary metadata;
  auto meta = db->prepare("SELECT Z_KEY, Z_VALUE FROM Z_METADATA", &underlying);
  auto model = db->prepare("SELECT Z_ENTITY, Z_HASH FROM Z_MODEL ORDER BY Z_ENTITY", &underlying);
  bool failed = !meta || !model;
  if (!failed)
    while (meta->step(&underlying, &failed)) metadata.set(meta->textColumn(0), meta->textColumn(1));
  Dictionary hashes;
  if (!failed)
    while (model->step(&underlying, &failed)) hashes.set(model->textColumn(0), model->blobColumn(1));
  if (failed) {
    if (error) *error = wrapped(kFileReadCorruptFileError, "The store's metadata could not be read", underlying);
    return std::nullopt;
  }
  metadata.set(kStoreModelVersionHashesKey, hashes);
  return metadata;
}

}  // namespace coredata
