#include "LabelledSecrets.h"

#include <libsecret/secret.h>

#include <QAbstractEventDispatcher>

#include "SecretBuffer.h"

namespace {

const SecretSchema* schema() {
    static const SecretSchema s = {"org.zandrel.Zandrel.Password",
                                   SECRET_SCHEMA_NONE,
                                   {{"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"question", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

// The attributes as libsecret takes them; the table owns its strings.
GHashTable* attributes(const QString& account, const QString* question) {
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_insert(table, g_strdup("account"), g_strdup(account.toUtf8().constData()));
    if (question) g_hash_table_insert(table, g_strdup("question"), g_strdup(question->toUtf8().constData()));
    return table;
}

QString take(GError* error) {
    if (!error) return {};
    const QString text = QString::fromUtf8(error->message);
    g_error_free(error);
    return text.isEmpty() ? QStringLiteral("the keyring refused") : text;
}

template <typename Done>
gpointer hold(Done done) {
    return new Done(std::move(done));
}

}  // namespace

bool LabelledSecrets::usable() {
    QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
    return d && d->inherits("QEventDispatcherGlib");
}

void LabelledSecrets::store(const QString& label, const QString& account, const QString& question,
                            const SecretBuffer& secret, Stored done) {
    SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    GHashTable* table = attributes(account, &question);
    secret_password_storev_binary(
        schema(), table, SECRET_COLLECTION_DEFAULT, label.toUtf8().constData(), value, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Stored> d(static_cast<Stored*>(data));
            GError* error = nullptr;
            secret_password_store_finish(result, &error);
            (*d)(take(error));
        },
        hold(std::move(done)));
    secret_value_unref(value);
    g_hash_table_unref(table);
}

void LabelledSecrets::lookup(const QString& account, const QString& question, Found done) {
    GHashTable* table = attributes(account, &question);
    secret_password_lookupv(
        schema(), table, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Found> d(static_cast<Found*>(data));
            GError* error = nullptr;
            SecretValue* value = secret_password_lookup_binary_finish(result, &error);
            std::unique_ptr<SecretBuffer> secret;
            if (value) {
                gsize size = 0;
                const gchar* bytes = secret_value_get(value, &size);
                QByteArray copy(bytes, static_cast<qsizetype>(size));
                secret = std::make_unique<SecretBuffer>(copy);  // wipes the copy
                secret_value_unref(value);
            }
            (*d)(std::move(secret), take(error));
        },
        hold(std::move(done)));
    g_hash_table_unref(table);
}

void LabelledSecrets::clear(const QString& account) {
    GHashTable* table = attributes(account, nullptr);
    secret_password_clearv(
        schema(), table, nullptr,
        [](GObject*, GAsyncResult* result, gpointer) { secret_password_clear_finish(result, nullptr); }, nullptr);
    g_hash_table_unref(table);
}

QString LabelledSecrets::labelOf(const QString& account, const QString& question) {
    GHashTable* table = attributes(account, &question);
    GList* items = secret_password_searchv_sync(schema(), table, SECRET_SEARCH_ALL, nullptr, nullptr);
    g_hash_table_unref(table);
    QString label;
    if (items) {
        gchar* text = secret_item_get_label(static_cast<SecretItem*>(items->data));
        label = QString::fromUtf8(text);
        g_free(text);
    }
    g_list_free_full(items, g_object_unref);
    return label;
}
